// The XML platform is started once for the whole test program, as the service does at start-up.

#include <gtest/gtest.h>
#include <xercesc/util/PlatformUtils.hpp>

namespace {

class XmlEnvironment : public ::testing::Environment {
public:
    void SetUp() override { xercesc::XMLPlatformUtils::Initialize(); }
    void TearDown() override { xercesc::XMLPlatformUtils::Terminate(); }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new XmlEnvironment);

}  // namespace
