// The card's rules without a card: access conditions against the data
// sheet's two tables, dump files and key files in their text and binary forms.
#include "protocol/AccessConditions.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// "A", "B", "AB" or "-" as the tables print them.
TKeys Keys(const std::string& Text)
{
    return TKeys(uint8_t((Text.find('A') != std::string::npos ? 1 : 0) | (Text.find('B') != std::string::npos ? 2 : 0)));
}

} // namespace

TEST(AccessConditions, DataBlockTableRowByRow)
{
    // C1C2C3 -> read, write, increment, decrement/transfer/restore.
    const struct {
        uint8_t Cond;
        const char *Read, *Write, *Inc, *Dec;
    } rows[] = {
        {0b000, "AB", "AB", "AB", "AB"},
        {0b010, "AB", "-", "-", "-"},
        {0b100, "AB", "B", "-", "-"},
        {0b110, "AB", "B", "B", "AB"},
        {0b001, "AB", "-", "-", "AB"},
        {0b011, "B", "B", "-", "-"},
        {0b101, "B", "-", "-", "-"},
        {0b111, "-", "-", "-", "-"},
    };
    for (const auto& row : rows) {
        const TDataRights table{Keys(row.Read), Keys(row.Write), Keys(row.Inc), Keys(row.Dec)};
        EXPECT_EQ(DataBlockRights(row.Cond), table) << int(row.Cond);
        // Where the trailer lets key B be read, only key A opens anything.
        for (uint8_t trailer = 0; trailer < 8; ++trailer) {
            const TDataRights got = EffectiveDataRights(row.Cond, trailer);
            const bool keyBData = trailer == 0b000 || trailer == 0b010 || trailer == 0b001;
            EXPECT_EQ(KeyBReadable(trailer), keyBData);
            const auto onlyA = [&](TKeys K) { return keyBData ? TKeys(uint8_t(K) & 1) : K; };
            EXPECT_EQ(got, (TDataRights{onlyA(table.Read), onlyA(table.Write), onlyA(table.Increment), onlyA(table.DecTransferRestore)}))
                << int(row.Cond) << " " << int(trailer);
        }
    }
}

TEST(AccessConditions, TrailerTableRowByRow)
{
    // C1C2C3 -> key A write, access bits read and write, key B read and write.
    const struct {
        uint8_t Cond;
        const char *KeyAWrite, *AccessRead, *AccessWrite, *KeyBRead, *KeyBWrite;
    } rows[] = {
        {0b000, "A", "A", "-", "A", "A"},
        {0b010, "-", "A", "-", "A", "-"},
        {0b100, "B", "AB", "-", "-", "B"},
        {0b110, "-", "AB", "-", "-", "-"},
        {0b001, "A", "A", "A", "A", "A"},
        {0b011, "B", "AB", "B", "-", "B"},
        {0b101, "-", "AB", "B", "-", "-"},
        {0b111, "-", "AB", "-", "-", "-"},
    };
    for (const auto& row : rows) {
        const TTrailerRights table{Keys(row.KeyAWrite), Keys(row.AccessRead), Keys(row.AccessWrite), Keys(row.KeyBRead), Keys(row.KeyBWrite)};
        EXPECT_EQ(TrailerBlockRights(row.Cond), table) << int(row.Cond);
        EXPECT_EQ(KeyBReadable(row.Cond), std::string(row.KeyBRead) != "-") << int(row.Cond);
    }
}

TEST(AccessConditions, EveryConditionSetRoundTrips)
{
    // Known trailers first: the transport configuration and two common ones.
    const struct {
        TConditionSet Cond;
        std::array<uint8_t, 3> Bytes;
    } known[] = {
        {TransportConditions, {0xFF, 0x07, 0x80}},
        {{4, 4, 4, 3}, {0x78, 0x77, 0x88}},
        {{6, 6, 6, 3}, {0x08, 0x77, 0x8F}},
    };
    for (const auto& k : known) {
        EXPECT_EQ(EncodeAccess(k.Cond), k.Bytes);
        EXPECT_EQ(DecodeAccess(k.Bytes.data()), (TAccessConditions{k.Cond, true}));
    }
    EXPECT_EQ(TransportConditions, (TConditionSet{0b000, 0b000, 0b000, 0b001}));

    // All 4,096 sets: encoded then decoded gives the set back, consistent;
    // any one bit spoilt breaks an inverted copy.
    for (int n = 0; n < 4096; ++n) {
        const TConditionSet cond = {uint8_t(n & 7), uint8_t(n >> 3 & 7), uint8_t(n >> 6 & 7), uint8_t(n >> 9 & 7)};
        TBlockData trailer;
        trailer.fill(0x5A);
        SetAccess(trailer, cond);
        ASSERT_EQ(TrailerAccess(trailer), (TAccessConditions{cond, true})) << n;
        ASSERT_TRUE(AccessBitsConsistent(trailer.data())) << n;
        EXPECT_EQ(trailer[5], 0x5A);
        EXPECT_EQ(trailer[9], 0x5A) << "the user byte stays";
        for (int bit = 0; bit < 24; ++bit) {
            TBlockData bad = trailer;
            bad[size_t(AccessBitsOffset + bit / 8)] ^= uint8_t(1 << (bit % 8));
            ASSERT_FALSE(TrailerAccess(bad).Consistent) << n << " bit " << bit;
        }
    }
}
