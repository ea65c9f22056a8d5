#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "mount_table.hpp"

using namespace avr_ee;

namespace {

struct mount_case {
    const char* line;
    const char* type;  // none: not a mount line
    const char* mount_point;
    const char* optional;
    const char* option;
    bool has;
};

TEST(MountTable, Lines)
{
    const mount_case cases[] = {
        {"22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro", "ext4", "/", "shared:1", "rw",
         true},
        {"45 22 0:40 / /var/qv-production rw,relatime shared:80 master:3 - nfs4 10.0.2.1:/var/qv-production "
         "rw,vers=4.2,hard,proto=tcp,local_lock=none,addr=10.0.2.1",
         "nfs4", "/var/qv-production", "shared:80 master:3", "local_lock=all", false},
        {"46 22 0:41 / /var/qv-production rw,relatime - nfs 10.0.2.1:/var/qv-production "
         "rw,vers=3,nolock,local_lock=all,addr=10.0.2.1",
         "nfs", "/var/qv-production", "", "local_lock=all", true},
        {"47 22 0:42 / /var/qv-production rw,relatime - cifs //10.0.2.1/qv-production "
         "rw,vers=3.1.1,cache=strict,nobrl,uid=0",
         "cifs", "/var/qv-production", "", "nobrl", true},
        {"48 22 0:43 / /var/qv-production rw,relatime - cifs //10.0.2.1/qv-production rw,vers=3.1.1,cache=strict",
         "cifs", "/var/qv-production", "", "nobrl", false},
        // Options are only ever the option fields, whole.
        {"49 22 0:44 / /mnt/nobrl rw - cifs //srv/nobrl rw,nobrlx", "cifs", "/mnt/nobrl", "", "nobrl", false},
        {"50 22 0:45 / /mnt/q rw - nfs srv:/x,local_lock=all rw,xlocal_lock=all", "nfs", "/mnt/q", "",
         "local_lock=all", false},
        // A blank in a path is escaped, so the fields still split at blanks.
        {"51 22 0:46 / /mnt/qv\\040production rw - cifs //srv/qv rw,nobrl", "cifs", "/mnt/qv\\040production", "",
         "nobrl", true},
        {"52 22 0:47 / /mnt rw shared:1", nullptr, "", "", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto got = parse_mount_line(c.line);
        ASSERT_EQ(got.has_value(), c.type != nullptr);
        if (!got)
            continue;
        EXPECT_EQ(got->type, c.type);
        EXPECT_EQ(got->mount_point, c.mount_point);
        EXPECT_EQ(got->optional, c.optional);
        EXPECT_EQ(has_option(*got, c.option), c.has);
    }
}

// The table is read in pieces: a line longer than a piece (an overlay root's,
// in a container) is passed over, and a line across two pieces is whole.
TEST(MountTable, FindsTheLineOfAnID)
{
    std::string table = (std::filesystem::temp_directory_path() / "avr_ee_mountinfo").string();
    std::string head = "30 1 0:30 / / rw - overlay overlay rw,lowerdir=" + std::string(5000, 'l') +
                       "\n451 30 0:32 / /other rw - tmpfs tmpfs rw\n";
    // Then a line that ends 10 bytes before the second piece does.
    std::string pad_start = "31 30 0:31 / /p", pad_end = " rw - tmpfs tmpfs rw\n";
    std::string pad(2 * 4096 - 10 - head.size() - pad_start.size() - pad_end.size(), 'p');
    std::ofstream(table) << head << pad_start << pad << pad_end
                         << "45 30 0:33 / /var/qv-production rw - cifs //srv/qv rw,nobrl\n";
    std::array<char, 4096> buf;
    auto found = find_mount(table.c_str(), "45", buf);
    ASSERT_TRUE(found) << found.error();
    EXPECT_EQ(found->mount_point, "/var/qv-production");
    EXPECT_TRUE(has_option(*found, "nobrl"));
    auto error_of = [&](const char* id) {
        auto got = find_mount(table.c_str(), id, buf);
        return got ? 0 : got.error();
    };
    EXPECT_EQ(error_of("30"), ENOENT) << "a line longer than the buffer";
    EXPECT_EQ(error_of("4"), ENOENT) << "a mount gone from the table";
    std::filesystem::remove(table);
}

}  // namespace
