#pragma once
// Brings the XML platform up once for a test program, as the service's start-up does.
#include <gtest/gtest.h>
#include <xercesc/util/PlatformUtils.hpp>

class XmlTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override { xercesc::XMLPlatformUtils::Initialize(); }
    void TearDown() override { xercesc::XMLPlatformUtils::Terminate(); }
};

inline const ::testing::Environment* const kXmlTestEnvironment =
    ::testing::AddGlobalTestEnvironment(new XmlTestEnvironment);
