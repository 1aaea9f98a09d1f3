// Linked into every test program: a class whose registration was refused while the program
// loaded (a name registered twice, two names with one class id) fails the program before its
// first test, unless the program expects that refusal.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"
#include "vemo/core/Unknown.h"

namespace {

class RegistrationCheck : public testing::Environment {
 public:
  void SetUp() override {
    std::vector<vemo::String> reports;
    vemo::Unknown::RtFactory::getSetupFailures(reports);
    const std::vector<std::wstring>& expected = vemo::tests::expectedSetupFailures();
    for (const vemo::String& report : reports)
      if (std::find(expected.begin(), expected.end(), report.getBuffer()) == expected.end())
        ADD_FAILURE() << "a class registration was refused while loading: " << report;
  }
};

testing::Environment* const g_registrationCheck =
    testing::AddGlobalTestEnvironment(new RegistrationCheck);

}  // namespace
