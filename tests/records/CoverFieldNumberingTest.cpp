#include <cstring>
#include <set>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "records/DataAccessAPIUnit.h"

namespace {

struct TNumbering {
    const char* Prefix;
    unsigned Count;
    const char* (*Name)(uint8_t);
};

const TNumbering kNumberings[] = {
    {"gcfn", GSMCoverFieldCount, &GSMCoverFieldName},
    {"ccfn", CDMACoverFieldCount, &CDMACoverFieldName},
    {"pcfn", PHSCoverFieldCount, &PHSCoverFieldName},
};

TEST(CoverFieldNumberingTest, NamesAreUniquePrefixedAndBounded) {
    EXPECT_EQ(GSMCoverFieldCount, 150u);
    EXPECT_EQ(CDMACoverFieldCount, 129u);
    EXPECT_EQ(PHSCoverFieldCount, 5u);
    for (const auto& n : kNumberings) {
        SCOPED_TRACE(n.Prefix);
        std::set<std::string> seen;
        for (unsigned i = 0; i < n.Count; ++i) {
            const char* name = n.Name(static_cast<uint8_t>(i));
            ASSERT_NE(name, nullptr) << i;
            EXPECT_EQ(std::strncmp(name, n.Prefix, 4), 0) << name;
            EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name;
        }
        EXPECT_EQ(n.Name(static_cast<uint8_t>(n.Count)), nullptr);
        EXPECT_EQ(n.Name(255), nullptr);
    }
}

// Values spread over each enumeration: a name dropped or inserted shifts everything after.
TEST(CoverFieldNumberingTest, OrdinalsAndNamesAgree) {
    struct {
        unsigned Value;
        unsigned Ordinal;
        const char* Name;
        const char* (*Lookup)(uint8_t);
    } cases[] = {
        {gcfnARFCN, 0, "gcfnARFCN", &GSMCoverFieldName},
        {gcfnC2N6, 46, "gcfnC2N6", &GSMCoverFieldName},
        {gcfnPPPRx_Rate, 65, "gcfnPPPRx_Rate", &GSMCoverFieldName},
        {gcfn8PSKMeanBEP, 110, "gcfn8PSKMeanBEP", &GSMCoverFieldName},
        {gcfnTsCSMCS6, 130, "gcfnTsCSMCS6", &GSMCoverFieldName},
        {gcfnVideo, 149, "gcfnVideo", &GSMCoverFieldName},
        {ccfnRxAGC, 0, "ccfnRxAGC", &CDMACoverFieldName},
        {ccfnP_REV_IN_USE, 21, "ccfnP_REV_IN_USE", &CDMACoverFieldName},
        {ccfnTotalC_I, 58, "ccfnTotalC_I", &CDMACoverFieldName},
        {ccfnHDRHybridModeState, 89, "ccfnHDRHybridModeState", &CDMACoverFieldName},
        {ccfnPESQScore, 110, "ccfnPESQScore", &CDMACoverFieldName},
        {ccfnVideo, 128, "ccfnVideo", &CDMACoverFieldName},
        {pcfnPower, 0, "pcfnPower", &PHSCoverFieldName},
        {pcfnPESQMos, 3, "pcfnPESQMos", &PHSCoverFieldName},
        {pcfnVideoMos, 4, "pcfnVideoMos", &PHSCoverFieldName},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(c.Value, c.Ordinal);
        ASSERT_NE(c.Lookup(static_cast<uint8_t>(c.Ordinal)), nullptr);
        EXPECT_STREQ(c.Lookup(static_cast<uint8_t>(c.Ordinal)), c.Name);
    }
}

TEST(CoverFieldNumberingTest, TypesAndNames) {
    static_assert(sizeof(TGSMCoverFieldNos::value_type) == 1);
    static_assert(sizeof(TCDMACoverFieldNos::value_type) == 1);
    static_assert(sizeof(TPHSCoverFieldNos::value_type) == 1);
    static_assert(sizeof(TCoverageParamArray::value_type) == 8);
    static_assert(std::is_same_v<TCoverageParamTable::value_type, TCoverageParamArray>);
    EXPECT_STREQ(GSMCoverFieldNoTypeName, "TGSMCoverFieldNo");
    EXPECT_STREQ(CDMACoverFieldNoTypeName, "TCDMACoverFieldNo");
    EXPECT_STREQ(PHSCoverFieldNoTypeName, "TPHSCoverFieldNo");
    EXPECT_STREQ(CoverageParamTableTypeName, "TCoverageParamTable");
}

TEST(CoverFieldNumberingTest, CellSetNames) {
    const char* expected[] = {"Active",    "Candidate",     "Neighbor",
                              "Remaining", "Pre-Candidate", "Not-Reference"};
    ASSERT_EQ(std::size(CellSetNames), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_STREQ(CellSetNames[i], expected[i]) << i;
    }
}

}  // namespace
