#include <cstdint>
#include <gtest/gtest.h>

#include "lock_policy.hpp"

using namespace avr_ee;

namespace {

// A 32-bit statfs gives the cifs client's f_type as a negative long.
constexpr long as_32_bit(std::uint32_t f_type)
{
    return static_cast<std::int32_t>(f_type);
}

TEST(FamilyOf, Table)
{
    const struct {
        long f_type;
        fs_family family;
    } cases[] = {
        {0x6969, fs_family::nfs},
        {0xFE534D42, fs_family::smb},  // SMB 2 and 3
        {as_32_bit(0xFE534D42), fs_family::smb},
        {0xFF534D42, fs_family::smb},  // SMB1
        {as_32_bit(0xFF534D42), fs_family::smb},
        {0x517B, fs_family::smb},      // the old smbfs
        {0xEF53, fs_family::local},    // ext4
        {0x01021994, fs_family::local},  // tmpfs
        {0x794C7630, fs_family::local},  // overlayfs
    };
    for (auto [f_type, family] : cases)
        EXPECT_EQ(family_of(f_type), family) << std::hex << f_type;
}

}  // namespace
