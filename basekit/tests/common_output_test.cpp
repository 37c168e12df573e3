#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "basekit/common.hpp"
#include "collab/errors.hpp"
#include "collab/logconf.hpp"
#include "log_capture.hpp"

namespace basekit {
namespace {

namespace fs = std::filesystem;
using collab::Json;
using Lines = std::vector<std::string>;

class OutputTest : public testing::CommonTest {};

TEST_F(OutputTest, LogFolderDefaultsToTheWorkingFolder) {
  EXPECT_EQ(Common::getLogFolder({{"log_output", "/var/out"}}), "/var/out");
  EXPECT_TRUE(log_.lines().empty());
  EXPECT_EQ(Common::getLogFolder(Json::object()), "./");
  EXPECT_EQ(log_.lines(),
            Lines{"warning|**Alert** output folder attribute log_output not defined, default to "
                  "\"./\""});
}

// Points the run's logging configuration at a scratch folder and restores it afterwards.
class LogLocationTest : public OutputTest {
 protected:
  void SetUp() override {
    OutputTest::SetUp();
    root_ = fs::temp_directory_path() /
            ("kx-logloc-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    saved_ = collab::logconf::get().logging_config;
  }
  void TearDown() override {
    collab::logconf::get().logging_config = saved_;
    fs::remove_all(root_);
  }
  fs::path root_;
  Json saved_;
};

TEST_F(LogLocationTest, CreatesTheLogFolderAndPointsBothHandlersIntoIt) {
  const std::string out = (root_ / "var" / "out").string();
  auto& conf = Common::intLogLocationMgmtVnetCidr({{"log_output", out}});
  EXPECT_EQ(&conf, &collab::logconf::get());
  EXPECT_TRUE(fs::is_directory(out + "/log"));
  EXPECT_EQ(conf.logging_config["handlers"]["logConsoleHandler"]["filename"], out + "/log/kx.log");
  EXPECT_EQ(conf.logging_config["handlers"]["alertHandler"]["filename"], out + "/log/kx.alert.log");

  // An existing folder is left as it is.
  std::ofstream(out + "/log/kx.log") << "earlier\n";
  Common::intLogLocationMgmtVnetCidr({{"log_output", out}});
  std::ifstream in(out + "/log/kx.log");
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "earlier");
}

TEST_F(LogLocationTest, FailuresReachTheCaller) {
  EXPECT_THROW(Common::intLogLocationMgmtVnetCidr(Json::object()), collab::MissingKeyError);

  fs::create_directories(root_);
  std::ofstream(root_ / "file") << "x";
  EXPECT_THROW(Common::intLogLocationMgmtVnetCidr({{"log_output", (root_ / "file").string()}}),
               fs::filesystem_error);

  // A handler set before the missing one keeps its new file name.
  collab::logconf::get().logging_config["handlers"].erase("alertHandler");
  const std::string out = (root_ / "out").string();
  EXPECT_THROW(Common::intLogLocationMgmtVnetCidr({{"log_output", out}}), collab::MissingKeyError);
  EXPECT_EQ(collab::logconf::get().logging_config["handlers"]["logConsoleHandler"]["filename"],
            out + "/log/kx.log");
}

TEST_F(OutputTest, TargetLocationByAccountFolder) {
  const Json subscription = {{"sub_id", "0000-1111"}, {"account_name", "prod"}};
  const std::string unknown =
      "error|**Error** unknown account_folder value: folder, use default subscription ID as "
      "folder name";
  struct Case {
    const char* what;
    Json accountFolder;  // "missing": left out
    std::string expected;
    Lines logged;
  };
  const std::vector<Case> cases = {
      {"name", "Name", "out/prod", {}},       {"NAME", "NAME", "out/prod", {}},
      {"id", "ID", "out/0000-1111", {}},      {"other word", "folder", "out/0000-1111", {unknown}},
      {"null", nullptr, "out/0000-1111", {}}, {"missing", "missing", "out/0000-1111", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Json config = {{"terraform", {{"terraform_output", "out"}}}};
    if (c.accountFolder != "missing") config["terraform"]["account_folder"] = c.accountFolder;
    EXPECT_EQ(Common::getTargetLocation(subscription, config), c.expected);
    EXPECT_EQ(log_.lines(), c.logged);
  }
  EXPECT_THROW(Common::getTargetLocation(subscription, {{"terraform", Json::object()}}),
               collab::MissingKeyError);
}

TEST_F(OutputTest, TmpFolderIdFromTheFirstVnetOrTheFileName) {
  auto config = [](Json how) {
    return Json{{"terraform", {{"tmp_folder_id", how}}},
                {"account_info",
                 {{{"vnets", {{{"vnet_name", "vn-first"}}, {{"vnet_name", "vn-second"}}}}},
                  {{"vnets", {{{"vnet_name", "vn-other"}}}}}}}};
  };
  EXPECT_EQ(Common::getTmpFolderId(config("VNET_ID"), "x.yaml"), "vn-first");
  EXPECT_EQ(Common::getTmpFolderId(config("YAML_ID"), "/etc/run/migrate.prod.yaml"),
            "migrate-prod-yaml");
  EXPECT_EQ(Common::getTmpFolderId(config("YAML_ID"), "config.yaml"), "config-yaml");
  for (const Json& how : {Json("vnet_id"), Json(nullptr), Json(1)}) {
    SCOPED_TRACE(how.dump());
    EXPECT_EQ(Common::getTmpFolderId(config(how), "config.yaml"), std::nullopt);
  }

  Json noVnets = config("VNET_ID");
  noVnets["account_info"][0]["vnets"] = Json::array();
  EXPECT_THROW(Common::getTmpFolderId(noVnets, "c.yaml"), collab::IndexRangeError);
  Json noAccounts = config("VNET_ID");
  noAccounts["account_info"] = Json::array();
  EXPECT_THROW(Common::getTmpFolderId(noAccounts, "c.yaml"), collab::IndexRangeError);
  EXPECT_THROW(Common::getTmpFolderId({{"terraform", Json::object()}}, "c.yaml"),
               collab::MissingKeyError);
}

TEST_F(OutputTest, Banners) {
  const std::string plus(45, '+'), dash(45, '-');
  Common::logSubscription("0000-1111-2222");
  EXPECT_EQ(log_.lines(), (Lines{"warning|", "warning|" + plus, "warning|",
                                 "warning|    Subscription ID :  0000-1111-2222", "warning|",
                                 "warning|" + plus, "warning|"}));

  collab::azure::VirtualNetwork vnet;
  vnet.name = "VN1";
  vnet.location = "eastus";
  vnet.id = "/subscriptions/S/resourceGroups/RG1/providers/Microsoft.Network/virtualNetworks/VN1";
  vnet.address_space.address_prefixes = {"10.1.0.0/16", "10.2.0.0/16"};
  Common::logVnetHeader(vnet);
  EXPECT_EQ(log_.lines(), (Lines{"info|", "info|" + dash, "info|", "info|    Vnet Name : VN1",
                                 "info|    CIDRs     : ['10.1.0.0/16', '10.2.0.0/16']",
                                 "info|    Region    : eastus", "info|    RG        : RG1", "info|",
                                 "info|" + dash, "info|"}));

  vnet.address_space.address_prefixes->clear();
  Common::logVnetHeader(vnet);
  EXPECT_EQ(log_.lines()[4], "info|    CIDRs     : []");
  // A VNet drawing its space from an IP address pool lists none at all.
  vnet.address_space.address_prefixes.reset();
  Common::logVnetHeader(vnet);
  EXPECT_EQ(log_.lines()[4], "info|    CIDRs     : None");

  vnet.id = "/subscriptions/S/resourceGroups";
  EXPECT_THROW(Common::logVnetHeader(vnet), collab::IndexRangeError);
  EXPECT_TRUE(log_.lines().empty()) << "no half banner";

  Common::logPathbookHeader();
  EXPECT_EQ(log_.lines(), (Lines{"info|", "info|" + dash, "info|", "info|    Route Tables", "info|",
                                 "info|" + dash, "info|"}));
}

}  // namespace
}  // namespace basekit
