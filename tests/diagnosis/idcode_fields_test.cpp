// SPDX-License-Identifier: Apache-2.0
// IDCODE field decoding.
#include <gtest/gtest.h>

#include "diagnosis/IdcodeFields.h"

namespace {

using namespace csediag;

TEST(IdcodeFields, SplitsVersionPartAndJedecBankAndId) {
    // version 0x3, part 0xA5C1, 2 continuation codes (bank 3), id 0x1D, bit 0 set
    const uint32_t idcode = 0x3u << 28 | 0xA5C1u << 12 | 0x2u << 8 | 0x1Du << 1 | 1u;
    const IdcodeFields fields = idcodeFields(idcode);
    EXPECT_TRUE(fields.present);
    EXPECT_EQ(fields.version, 0x3u);
    EXPECT_EQ(fields.part, 0xA5C1u);
    EXPECT_EQ(fields.bank, 3u);
    EXPECT_EQ(fields.id, 0x1Du);
}

TEST(IdcodeFields, ExtremesStayInTheirFields) {
    const IdcodeFields all = idcodeFields(0xFFFFFFFFu);
    EXPECT_EQ(all.version, 0xFu);
    EXPECT_EQ(all.part, 0xFFFFu);
    EXPECT_EQ(all.bank, 16u);
    EXPECT_EQ(all.id, 0x7Fu);
    const IdcodeFields low = idcodeFields(0x00000001u);
    EXPECT_EQ(low.version, 0u);
    EXPECT_EQ(low.part, 0u);
    EXPECT_EQ(low.bank, 1u);
    EXPECT_EQ(low.id, 0u);
}

TEST(IdcodeFields, CodeWithoutBitZeroIsNoIdcode) {
    EXPECT_FALSE(idcodeFields(0).present);
    EXPECT_FALSE(idcodeFields(0x12345678u).present);
}

}  // namespace
