#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "basekit/common.hpp"
#include "collab/errors.hpp"

namespace basekit {
namespace {

namespace fs = std::filesystem;

// Points the data folder at a scratch folder holding the given input.json text.
class InputJsonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kx-input-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ / "azure_data");
    Common::setDataPath(dir_.string());
  }
  void TearDown() override {
    Common::setDataPath(std::nullopt);
    fs::remove_all(dir_);
  }
  void write(const std::string& text) { std::ofstream(dir_ / "azure_data" / "input.json") << text; }
  std::string path() const { return (dir_ / "azure_data" / "input.json").string(); }

  fs::path dir_;
};

TEST_F(InputJsonTest, ShippedFileCoversRegionsAndReservedSubnets) {
  Common::setDataPath(std::string(KX_SOURCE_DIR) + "/data");
  Common::loadInputJson();
  EXPECT_EQ(Common::REGION.at("eastus"), "East US");
  EXPECT_EQ(Common::REGION.at("westeurope"), "West Europe");
  EXPECT_EQ(Common::REGION.at("australiacentral2"), "Australia Central 2");
  EXPECT_GT(Common::REGION.size(), 60u);
  for (const char* name : {"GatewaySubnet", "AzureFirewallSubnet", "AzureFirewallManagementSubnet",
                           "AzureBastionSubnet", "RouteServerSubnet"})
    EXPECT_TRUE(Common::isAzureReservedSubnet(name)) << name;
  EXPECT_FALSE(Common::isAzureReservedSubnet("gatewaysubnet"));
}

TEST_F(InputJsonTest, MissingFileNamesThePath) {
  try {
    Common::loadInputJson();
    FAIL() << "expected a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(path()), std::string::npos) << e.what();
  }
}

TEST_F(InputJsonTest, MissingMemberNamesPathAndMember) {
  write(R"({"REGION": {"eastus": "East US"}})");
  try {
    Common::loadInputJson();
    FAIL() << "expected a failure";
  } catch (const collab::MissingKeyError& e) {
    EXPECT_EQ(e.key(), "AZURE_SUBNET");
    EXPECT_NE(std::string(e.what()).find(path()), std::string::npos) << e.what();
  }
}

TEST_F(InputJsonTest, FailedLoadKeepsEarlierValues) {
  write(R"({"REGION": {"xregion": "X Region"}, "AZURE_SUBNET": ["Reserved"], "OTHER": 1})");
  Common::loadInputJson();
  ASSERT_EQ(Common::REGION.at("xregion"), "X Region");

  for (const char* bad :
       {R"({"REGION": {"eastus": 3}, "AZURE_SUBNET": []})",
        R"({"REGION": {}, "AZURE_SUBNET": "GatewaySubnet"})", R"([1, 2])", "{not json", ""}) {
    SCOPED_TRACE(bad);
    write(bad);
    EXPECT_THROW(Common::loadInputJson(), std::exception);
    EXPECT_EQ(Common::REGION.at("xregion"), "X Region");
    EXPECT_TRUE(Common::isAzureReservedSubnet("Reserved"));
  }
}

}  // namespace
}  // namespace basekit
