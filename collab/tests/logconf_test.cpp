#include "collab/logconf.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "collab/errors.hpp"
#include "collab/log.hpp"

namespace collab {
namespace {

namespace fs = std::filesystem;

// Keeps the configured loggers' sinks and levels and restores them afterwards, so applying a
// configuration here does not leak into other tests.
class LogconfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kx-logconf-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    for (const char* name : kLoggers) {
      auto logger = getLogger(name);
      saved_.push_back({logger->sinks(), logger->level()});
    }
    conf_.logging_config["handlers"][logconf::MAIN_HANDLER]["filename"] = main();
    conf_.logging_config["handlers"][logconf::ALERT_HANDLER]["filename"] = alert();
  }
  void TearDown() override {
    for (std::size_t i = 0; i < std::size(kLoggers); ++i) {
      auto logger = getLogger(kLoggers[i]);
      logger->sinks() = saved_[i].sinks;
      logger->set_level(saved_[i].level);
    }
    fs::remove_all(dir_);
  }

  std::string main() const { return (dir_ / "log" / "kx.log").string(); }
  std::string alert() const { return (dir_ / "log" / "kx.alert.log").string(); }

  // The file's lines as "level|message", after checking each line's time prefix.
  static std::vector<std::string> read(const std::string& path) {
    static const std::regex line(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\w+)\] (.*)$)");
    std::vector<std::string> out;
    std::ifstream in(path);
    std::string text;
    std::smatch m;
    while (std::getline(in, text)) {
      if (std::regex_match(text, m, line))
        out.push_back(m[1].str() + "|" + m[2].str());
      else
        out.push_back("unprefixed|" + text);
    }
    return out;
  }

  static constexpr const char* kLoggers[] = {"basekit", "pathbook", "netscout", "alert"};
  struct Saved {
    std::vector<spdlog::sink_ptr> sinks;
    spdlog::level::level_enum level;
  };
  std::vector<Saved> saved_;
  fs::path dir_;
  logconf conf_;
};

TEST_F(LogconfTest, DefaultsNameBothHandlersTheThreeLoggersAndTheAlertLogger) {
  const Json config = logconf::defaultConfig();
  EXPECT_EQ(config["handlers"]["logConsoleHandler"]["filename"], "./log/kx.log");
  EXPECT_EQ(config["handlers"]["alertHandler"]["filename"], "./log/kx.alert.log");
  EXPECT_EQ(config["handlers"]["logConsoleHandler"]["level"], "info");
  EXPECT_EQ(config["handlers"]["alertHandler"]["level"], "warning");
  for (const char* name : {"basekit", "pathbook", "netscout"})
    EXPECT_EQ(config["loggers"][name]["handlers"],
              Json::array({"logConsoleHandler", "alertHandler"}));
  EXPECT_EQ(config["loggers"]["alert"]["handlers"], Json::array({"alertHandler"}));
  EXPECT_EQ(config["loggers"].size(), 4u);
  EXPECT_EQ(logconf::get().logging_config, config);
}

TEST_F(LogconfTest, MainLogTakesInfoAndAboveAlertLogWarningAndAbove) {
  fs::create_directories(dir_ / "log");
  std::ofstream(main()) << "earlier run\n";
  conf_.apply();

  getLogger("basekit")->debug("not written");
  getLogger("basekit")->info("    Vnet Name : vn1");
  getLogger("netscout")->warn("  **Alert** peering");
  getLogger("pathbook")->error("**Error** bad");
  getLogger("netscout")->critical("stop");
  getLogger("basekit")->warn("");
  getLogger("alert")->warn("**Alert** VNet vn (rg) has 1 peering(s)");

  EXPECT_EQ(read(main()),
            (std::vector<std::string>{"unprefixed|earlier run", "info|    Vnet Name : vn1",
                                      "warning|  **Alert** peering", "error|**Error** bad",
                                      "critical|stop", "warning|"}));
  EXPECT_EQ(read(alert()),
            (std::vector<std::string>{"warning|  **Alert** peering", "error|**Error** bad",
                                      "critical|stop", "warning|",
                                      "warning|**Alert** VNet vn (rg) has 1 peering(s)"}));
}

TEST_F(LogconfTest, ReapplyingReplacesSinksInsteadOfAddingThem) {
  conf_.apply();
  conf_.apply();
  getLogger("basekit")->warn("once");
  EXPECT_EQ(read(main()), std::vector<std::string>{"warning|once"});
  EXPECT_EQ(getLogger("basekit")->sinks().size(), 2u);
}

TEST_F(LogconfTest, LevelChangesByLoggerName) {
  conf_.logging_config["handlers"]["logConsoleHandler"]["level"] = "debug";
  conf_.apply();
  auto netscout = getLogger("netscout");
  netscout->debug("hidden at info");
  logconf::setLevel("netscout", "DEBUG");
  netscout->debug("shown at debug");
  getLogger("basekit")->debug("basekit still at info");
  logconf::setLevel("netscout", "critical");
  netscout->error("silenced");
  netscout->critical("still written");
  logconf::setLevel("netscout", "warn");
  netscout->warn("warn is warning");

  EXPECT_EQ(read(main()),
            (std::vector<std::string>{"debug|shown at debug", "critical|still written",
                                      "warning|warn is warning"}));
  EXPECT_THROW(logconf::setLevel("netscout", "verbose"), InvalidValueError);
}

TEST_F(LogconfTest, UnopenableFileNamesThePathAndLeavesLoggersAlone) {
  fs::create_directories(dir_);
  std::ofstream(dir_ / "blocker") << "a file, not a folder";
  const std::string bad = (dir_ / "blocker" / "kx.alert.log").string();
  conf_.logging_config["handlers"]["alertHandler"]["filename"] = bad;
  const auto before = getLogger("basekit")->sinks();
  try {
    conf_.apply();
    FAIL() << "expected a failure";
  } catch (const LogConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("'" + bad + "'"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("alertHandler"), std::string::npos) << e.what();
  }
  EXPECT_EQ(getLogger("basekit")->sinks(), before);
}

TEST_F(LogconfTest, MalformedConfigurationsAreRefusedWithTheirCause) {
  struct Case {
    const char* what;
    std::function<void(Json&)> change;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"bad level", [](Json& c) { c["handlers"]["alertHandler"]["level"] = "loud"; }, "loud"},
      {"no filename", [](Json& c) { c["handlers"]["alertHandler"].erase("filename"); },
       "handler alertHandler has no filename"},
      {"unknown handler",
       [](Json& c) { c["loggers"]["netscout"]["handlers"].push_back("consoleHandler"); },
       "consoleHandler"},
      {"no handlers", [](Json& c) { c.erase("handlers"); }, "has no handlers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    logconf conf = conf_;
    c.change(conf.logging_config);
    try {
      conf.apply();
      ADD_FAILURE() << "expected a failure";
    } catch (const LogConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace collab
