#include "talvo2/result_variable_bag.hpp"

#include <gtest/gtest.h>

namespace talvo2 {
namespace {

using corekit2::variant_bag_t;
using corekit2::variant_t;

TEST(ResultVariableBag, KeepsVariablesUnderTalvoVariables) {
    EXPECT_STREQ(ResultVariableBag::VAR_AT, L"at");
    EXPECT_STREQ(ResultVariableBag::VAR_MPIRANK, L"mpirank");

    ResultVariableBag variables;
    variables.putVariable(ResultVariableBag::VAR_AT, variant_t(L"node7"));
    const variant_bag_t& bag = variables.getVariables();
    EXPECT_EQ(bag.keys<variant_bag_t>(), std::vector<std::wstring>{L"talvo"});
    EXPECT_TRUE(bag.keys<variant_t>().empty());
    const variant_bag_t& talvo = *bag.get<variant_bag_t>(L"talvo");
    EXPECT_EQ(talvo.keys<variant_bag_t>(), std::vector<std::wstring>{L"variables"});
    EXPECT_EQ(talvo.get<variant_bag_t>(L"variables")->get_variant(L"at").get_wstring(), L"node7");

    // The second value of a name replaces the first; any type is accepted.
    variables.putVariable(ResultVariableBag::VAR_AT, variant_t(int32_t{3}));
    EXPECT_EQ(variables.getVariable(L"at"), variant_t(int32_t{3}));
    EXPECT_TRUE(variables.hasVariable(L"at"));
}

TEST(ResultVariableBag, StartsFromACopyAndKeepsWhatTheBagHeld) {
    variant_bag_t creation;
    variant_bag_t talvo;
    talvo.put(L"timestamp", variant_t(uint64_t{42}));
    creation.put(L"talvo", talvo);
    creation.put(L"own", variant_t(L"caller's"));

    ResultVariableBag variables(&creation);
    variables.putVariable(ResultVariableBag::VAR_MPIRANK, variant_t(L"5"));
    creation.put(L"later", variant_t(true));  // the wrapper holds a copy

    variant_bag_t expected = creation;
    expected.remove<variant_t>(L"later");
    expected.get<variant_bag_t>(L"talvo")
        ->put(L"variables", variant_bag_t())
        ->put(L"mpirank", variant_t(L"5"));
    EXPECT_TRUE(variables.getVariables() == expected);

    ResultVariableBag copy(variables);
    copy.putVariable(L"x", variant_t(L"1"));
    EXPECT_FALSE(variables.hasVariable(L"x")) << "copies are deep";
    variables = copy;
    EXPECT_TRUE(variables.hasVariable(L"x"));
}

TEST(ResultVariableBag, AbsentNamesAndNullNames) {
    variant_bag_t onlyTalvo;
    onlyTalvo.put(L"talvo", variant_bag_t());
    for (const ResultVariableBag& bag : {ResultVariableBag(), ResultVariableBag(&onlyTalvo)}) {
        EXPECT_FALSE(bag.hasVariable(L"at"));
        EXPECT_TRUE(bag.getVariable(L"at").empty());
    }
    ResultVariableBag variables;
    variables.putVariable(L"at", variant_t(L"here"));
    EXPECT_TRUE(variables.getVariable(L"unknown").empty());

    const variant_bag_t before = variables.getVariables();
    variables.putVariable(nullptr, variant_t(L"x"));
    EXPECT_TRUE(variables.getVariables() == before);
    EXPECT_FALSE(variables.hasVariable(nullptr));
    EXPECT_TRUE(variables.getVariable(nullptr).empty());
}

}  // namespace
}  // namespace talvo2
