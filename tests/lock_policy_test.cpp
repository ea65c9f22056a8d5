#include <cstdint>
#include <gtest/gtest.h>

#include "lock_policy.hpp"

using namespace avr_ee;

namespace {

// F_TYPE as a 64-bit statfs gives it, and as a 32-bit one does: the cifs
// client's then negative.
constexpr long as_64_bit(std::uint32_t f_type)
{
    return static_cast<long>(std::int64_t{f_type});
}

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
        {as_64_bit(0xFE534D42), fs_family::smb},  // SMB 2 and 3
        {as_32_bit(0xFE534D42), fs_family::smb},
        {as_64_bit(0xFF534D42), fs_family::smb},  // SMB1
        {as_32_bit(0xFF534D42), fs_family::smb},
        {0x517B, fs_family::smb},      // the old smbfs
        {0xEF53, fs_family::local},    // ext4
    };
    for (auto [f_type, family] : cases)
        EXPECT_EQ(family_of(f_type), family) << std::hex << f_type;
}

}  // namespace
