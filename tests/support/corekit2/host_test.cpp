#include <gtest/gtest.h>

#include <cstdlib>

#include "corekit2/host.hpp"
#include "util/test_util.hpp"

TEST(HostTest, FullyQualifiedNameIsStable) {
    const std::wstring name = corekit2::get_fq_host_name();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(corekit2::get_fq_host_name(), name);
}

TEST(HostTest, MpiRankComesFromTheLauncherVariables) {
    // The environment is process-wide: change it only in a child.
    EXPECT_EQ(talvo2::test::runInChild([] {
                  const char* const variables[] = {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK"};
                  for (const char* variable : variables) ::unsetenv(variable);
                  ::unsetenv("MV2_COMM_WORLD_RANK");
                  EXPECT_LT(corekit2::detectMPIRank(), 0);
                  for (const char* variable : variables) {
                      ::setenv(variable, "3", 1);
                      EXPECT_EQ(corekit2::detectMPIRank(), 3) << variable;
                      for (const char* garbage : {"abc", "-3", "1x", "", "99999999999"}) {
                          ::setenv(variable, garbage, 1);
                          EXPECT_LT(corekit2::detectMPIRank(), 0) << variable << "=" << garbage;
                      }
                      ::unsetenv(variable);
                  }
              }),
              0);
}
