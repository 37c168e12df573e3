// kx-discover, run as a real process, against what can go wrong with its outputs: hostile
// texts from Azure in every output, names and outputs that would replace or escape what they
// must not, a server that echoes the bearer token, a full disk and a closed pipe, and a signal
// during each kind of wait.
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstring>
#include <thread>

#include "discover_fixture.hpp"

namespace kxdiscover::test {
namespace {

using namespace std::string_literals;

const std::string kForgedLine = "2024-05-01 14:03:27.512 [error] **Error** FORGED";

// Texts a hostile estate puts where a name or a value is expected.
const std::vector<std::string> kHostile = {
    "new\nline " + kForgedLine + "-TAG",
    "carriage\rreturn",
    "nul\0byte"s,
    "esc\x1b[31mred\x1b[0m",
    "rtl\xe2\x80\xaeoverride",
    "quote\" 'single' back\\slash",
    "../../../etc/passwd",
    "graphviz \\N \\G {x} |y| <z>",
    "<img src=x onerror=alert(1)><a href=\"javascript:alert(1)\">&amp;</a>",
    "${var.secret} %{ if true }x%{ endif }",
};

Json route(const std::string& table, const std::string& name, const std::string& prefix,
           const std::string& type, const std::optional<std::string>& ip) {
  Json properties{{"addressPrefix", prefix}, {"nextHopType", type}};
  if (ip) properties["nextHopIpAddress"] = *ip;
  return Json{
      {"name", name}, {"id", table + "/routes/" + name}, {"properties", std::move(properties)}};
}

// The test estate with hostile texts in spoke-a: the tags and copy name of rt-web, a route it
// refuses and one it keeps, and the name of its peering.
Json hostileEstate() {
  Json estate = Json::parse(readFile(kSource + "/discover/tests/data/estate.json"));
  Json& prod = estate["subscriptions"][0];
  for (Json& table : prod["routeTables"]) {
    if (table["name"] != "rt-web") continue;
    table["tags"]["Name"] = "web \"routes\" <b>\n" + kForgedLine + "-NAME";
    for (std::size_t i = 0; i < kHostile.size(); ++i)
      table["tags"]["k" + std::to_string(i)] = kHostile[i];
    const std::string id = table["id"];
    table["properties"]["routes"].push_back(
        route(id, "forged-refused", "Storage\n" + kForgedLine + "-REFUSED", "Internet", {}));
    table["properties"]["routes"].push_back(route(id, "forged-kept", "10.7.0.0/16",
                                                  "VirtualAppliance",
                                                  "10.0.0.4\r\n" + kForgedLine + "-KEPT\x1b[2J"));
  }
  for (Json& vnet : prod["virtualNetworks"]) {
    if (vnet["name"] != "spoke-a") continue;
    // The log names a peering by its id.
    Json& peering = vnet["properties"]["virtualNetworkPeerings"][0];
    peering["name"] = "to-hub\n" + kForgedLine + "-PEER";
    peering["id"] = vnet["id"].get<std::string>() + "/virtualNetworkPeerings/" +
                    peering["name"].get<std::string>();
  }
  return estate;
}

// The bytes of `text` that no line of a log or terminal may hold raw: controls other than the
// line feed, DEL, and (unless `overrides` are fine, as in a page that isolates them) the
// right-to-left override.
std::string rawControls(const std::string& text, bool overrides = false) {
  std::string found;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7f) found += "\\x" + std::to_string(c) + " ";
    if (!overrides && text.compare(i, 3, "\xe2\x80\xae") == 0) found += "U+202E ";
  }
  return found;
}

TEST_F(DiscoverTest, HostileTextsStayTextInEveryOutput) {
  serve();
  const ProgramResult clean = run({"--json", "clean.json", "--quiet", "discovery.yaml"});
  ASSERT_EQ(clean.status, 0) << clean.err;
  fs::remove_all(path("out"));
  server_->setEstate(hostileEstate());
  const ProgramResult r = run({"--json", "report.json", "--html", "report.html", "discovery.yaml"});
  ASSERT_EQ(r.status, 0) << r.err;

  // Logs: one line per call, nothing forged, nothing raw; the hostile texts shown escaped.
  static const std::regex forged(R"(^\S+ \S+ \[\w+\] +\*\*Error\*\* FORGED)");
  for (const char* log : {"out/log/kx.log", "out/log/kx.alert.log"}) {
    SCOPED_TRACE(log);
    const std::string text = readFile(path(log));
    EXPECT_EQ(rawControls(text), "");
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      EXPECT_FALSE(std::regex_search(line, forged)) << line;
  }
  const std::string log = readFile(path("out/log/kx.log"));
  for (const char* shown : {"Storage\\n2024-05-01 14:03:27.512 [error] **Error** FORGED-REFUSED",
                            "to-hub\\n2024-05-01", "10.0.0.4\\r\\n2024-05-01"})
    EXPECT_NE(log.find(shown), std::string::npos) << shown;

  // Standard error: every line the command's own, nothing raw.
  EXPECT_EQ(rawControls(r.err), "");
  std::istringstream errLines(r.err);
  for (std::string line; std::getline(errLines, line);)
    EXPECT_TRUE(line.starts_with("kx-discover: ")) << line;

  // Report: valid, the same findings as the clean run, the refused route listed as logged.
  EXPECT_EQ(reportProblems(path("report.json")), "");
  const Json rep = report();
  const Json cleanRep = report("clean.json");
  for (const char* figure : {"alerts", "errors"})
    EXPECT_EQ(rep["summary"][figure], cleanRep["summary"][figure]) << figure;
  EXPECT_EQ(rep["summary"]["routes_refused"], cleanRep["summary"]["routes_refused"].get<int>() + 1);
  const Json& refused = rep["subscriptions"][0]["vnets"][1]["refused_routes"];
  EXPECT_NE(std::find_if(refused.begin(), refused.end(),
                         [](const Json& r) {
                           return r["prefix"] == "Storage\\n" + kForgedLine + "-REFUSED" &&
                                  r["next_hop_type"] == "Internet";
                         }),
            refused.end())
      << refused.dump(1);

  // Terraform: spoke-a's file parses and holds the texts exactly as Azure gave them.
  const Json hcl = parseTerraform(path("out/terraform/prod/spoke-a.tfvars"));
  ASSERT_TRUE(hcl.contains("route_tables")) << hcl.dump(1);
  bool found = false;
  for (const auto& [name, table] : hcl["route_tables"].items()) {
    if (!table.contains("tags") || !table["tags"].contains("k0")) continue;
    found = true;
    EXPECT_EQ(name, "corvanta-web \"routes\" <b>\n" + kForgedLine + "-NAME");
    for (std::size_t i = 0; i < kHostile.size(); ++i)
      EXPECT_EQ(table["tags"]["k" + std::to_string(i)], kx::test::asParsed(kHostile[i])) << i;
    EXPECT_NE(table.dump().find("10.0.0.4\\r\\n" + kForgedLine + "-KEPT\\u001b[2J"),
              std::string::npos);
  }
  EXPECT_TRUE(found) << hcl.dump(1);

  // The page: the texts are text, not markup.
  const std::string page = readFile(path("report.html"));
  EXPECT_EQ(rawControls(page, /*overrides=*/true), "");
  EXPECT_EQ(page.find("<img src=x"), std::string::npos);
  EXPECT_EQ(page.find("href=\"javascript:"), std::string::npos);
}

TEST_F(DiscoverTest, AnEchoedTokenOrSecretReachesNoOutput) {
  // The first token request (of one principal or the other, in whichever worker) fails with
  // the form quoted; the subscription that got its token fails its VNet listing with the
  // bearer token quoted.  Each token is a worker's, which the parent never sees.
  fakearm::Fault echoSecret;
  echoSecret.operation = "token";
  echoSecret.status = 401;
  echoSecret.code = "invalid_client";
  echoSecret.echoRequest = true;
  fakearm::Fault echoToken;
  echoToken.operation = "virtualNetworks.listAll";
  echoToken.times = 0;
  echoToken.status = 403;
  echoToken.code = "AuthorizationFailed";
  echoToken.echoRequest = true;
  serve();
  server_->addFault(echoToken);
  server_->addFault(echoSecret);

  const ProgramResult r = run({"--json", "report.json", "--html", "report.html", "--record",
                               "run.cassette.json", "discovery.yaml"});
  EXPECT_EQ(r.status, 3) << r.err;
  // The echo reached every output, redacted.
  EXPECT_NE(r.err.find("Authorization: Bearer REDACTED"), std::string::npos) << r.err;
  EXPECT_NE(readFile(path("out/log/kx.log")).find("Bearer REDACTED"), std::string::npos);
  EXPECT_NE(report()["failures"].dump().find("Bearer REDACTED"), std::string::npos);
  std::vector<std::string> secrets;
  for (const auto& [variable, secret] : kSecrets) secrets.push_back(secret);
  EXPECT_GE(expectNoSecretOrToken(dir_, r, secrets), 8u);
}

TEST_F(DiscoverTest, ALearnedRoutesFailureFromAzureIsEscapedAndRedactedEverywhere) {
  // The gateways refuse the request with a code that holds a forged log line, quoting the
  // bearer token back.
  fakearm::Fault refused;
  refused.operation = "virtualNetworkGateways.getLearnedRoutes";
  refused.times = 0;
  refused.status = 400;
  refused.code = "Bad\n" + kForgedLine + "-LEARNED\x1b[2J";
  refused.echoRequest = true;
  serve();
  server_->addFault(refused);
  const ProgramResult r =
      run({"--learned-routes", "--json", "report.json", "--html", "report.html", "discovery.yaml"});
  ASSERT_EQ(r.status, 0) << r.err;  // learned routes never fail the run

  static const std::regex forged(R"(^\S+ \S+ \[\w+\] +\*\*Error\*\* FORGED)");
  for (const char* log : {"out/log/kx.log", "out/log/kx.alert.log"}) {
    SCOPED_TRACE(log);
    const std::string text = readFile(path(log));
    EXPECT_EQ(rawControls(text), "");
    EXPECT_NE(text.find("not read: "), std::string::npos);
    EXPECT_NE(text.find("Bad\\n" + kForgedLine + "-LEARNED\\x1B[2J"), std::string::npos);
    EXPECT_NE(text.find("Bearer REDACTED"), std::string::npos);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      EXPECT_FALSE(std::regex_search(line, forged)) << line;
  }
  // The report keeps Azure's text as it came, the token redacted; its findings are the log's.
  const Json rep = report();
  EXPECT_EQ(reportProblems(path("report.json")), "");
  const Json& hub = rep["subscriptions"][0]["vnets"][0];
  ASSERT_EQ(hub["learned_routes"].size(), 1u) << hub.dump(1);
  EXPECT_EQ(hub["learned_routes"][0]["status"], "failed");
  const std::string message = hub["learned_routes"][0]["message"];
  EXPECT_NE(message.find("Bad\n" + kForgedLine), std::string::npos) << message;
  EXPECT_NE(message.find("Bearer REDACTED"), std::string::npos) << message;
  ASSERT_EQ(hub["errors"].size(), 1u) << hub["errors"].dump(1);
  EXPECT_NE(hub["errors"][0]["text"].get<std::string>().find("Bad\\n"), std::string::npos);
  EXPECT_EQ(rawControls(readFile(path("report.html")), /*overrides=*/true), "");
  std::vector<std::string> secrets;
  for (const auto& [variable, secret] : kSecrets) secrets.push_back(secret);
  EXPECT_GE(expectNoSecretOrToken(dir_, r, secrets), 6u);
}

TEST_F(DiscoverTest, WhatWouldReplaceAnInputOrLeaveItsFolderIsRefusedBeforeTheRun) {
  serve();
  const std::string config = readFile(path("discovery.yaml"));
  fs::create_symlink("discovery.yaml", path("alias.yaml"));
  struct Case {
    std::vector<std::string> args;
    std::pair<const char*, const char*> edit;  // of the configuration
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{"--json", "discovery.yaml"}, {}, 2, "the report (--json) 'discovery.yaml' is the same"},
      {{"--record", "alias.yaml"}, {}, 2, "is the same file as the configuration"},
      {{"--json", "out/log/kx.log"}, {}, 1, "the log './out/log/kx.log' is the same file as"},
      {{"html", "discovery.yaml", "-o", "alias.yaml"},
       {},
       2,
       "the page alias.yaml would replace the report"},
      {{},
       {"account_name: prod", "account_name: ../../../escaped-acct"},
       1,
       "account_name '../../../escaped-acct' cannot name the Terraform folder: it holds a '/'"},
      {{},
       {"account_name: prod", "account_name: \"evil\\nname\""},
       1,
       "account_name 'evil\\nname' cannot name the Terraform folder: it holds a control"},
      // A VNet name is checked where it would name a file; Azure has no such VNet.
      {{},
       {"spoke-b:", "\"spoke-\\u202eb\":"},
       0,
       "warning: VNet spoke-\\u202Eb not found in subscription"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    std::string edited = config;
    if (c.edit.first)
      edited.replace(edited.find(c.edit.first), std::strlen(c.edit.first), c.edit.second);
    std::ofstream(path("discovery.yaml")) << edited;
    std::vector<std::string> args = c.args;
    if (args.empty() || args[0] != "html") args.push_back("discovery.yaml");
    const ProgramResult r = run(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(rawControls(r.err), "");
    EXPECT_EQ(readFile(path("discovery.yaml")), edited);
    if (c.status == 0) {
      for (const auto& entry : fs::recursive_directory_iterator(path("out/terraform")))
        EXPECT_EQ(entry.path().string().find("\xe2\x80\xae"), std::string::npos) << entry.path();
      fs::remove_all(path("out"));
    }
    EXPECT_FALSE(fs::exists(path("out/terraform")));
    EXPECT_FALSE(fs::exists(dir_.parent_path() / "escaped-acct"));
  }
}

TEST_F(DiscoverTest, AnOutputThatCannotBeWrittenFailsTheRunWithOneLine) {
  serve();
  struct Case {
    const char* what;
    ProgramIo io;
    const char* says;  // on stderr, when it can be read
    bool quiet = false;
  };
  int lost[2];
  ASSERT_EQ(::pipe(lost), 0);
  ::close(lost[0]);  // a pipe nobody reads: `kx-discover ... | head -0`
  ProgramIo limited, full, closed, bothClosed;
  limited.fileSizeLimit = 8192;
  full.out = "/dev/full";
  closed.outFd = bothClosed.outFd = lost[1];
  bothClosed.pipeBoth = true;
  const Case cases[] = {
      // Quiet: standard error, a file too, stays under the limit.
      {"disk full for the log", limited,
       "the log ./out/log/kx.log could not be written in full: File too large", true},
      {"standard output on a full device", full,
       "standard output could not be written in full (No space left on device)"},
      {"standard output on a closed pipe", closed,
       "standard output could not be written in full (Broken pipe)"},
      {"both on a closed pipe", bothClosed, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(path("out"));
    fs::remove(path("stderr.txt"));
    std::vector<std::string> args{"--json", "report.json", "discovery.yaml"};
    if (c.quiet) args.insert(args.begin(), "--quiet");
    const ProgramResult r = run(args, kSecrets, c.io);
    EXPECT_EQ(r.status, 3) << r.err;
    if (c.says) {
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("LOG ERROR"), std::string::npos) << r.err;
    }
    if (c.io.fileSizeLimit) {
      // The log stops at a line's end; the other outputs are whole.
      const std::string log = readFile(path("out/log/kx.log"));
      EXPECT_LE(log.size(), *c.io.fileSizeLimit);
      EXPECT_TRUE(!log.empty() && log.back() == '\n');
      continue;
    }
    // The run's files are all written (each whole or absent), whatever became of its standard
    // streams.
    const Json rep = report();
    EXPECT_EQ(rep["status"], "completed");
    EXPECT_EQ(rep["outputs"]["terraform"].size(), 4u);
    for (const Json& file : rep["outputs"]["terraform"])
      EXPECT_TRUE(fs::exists(path(file.get<std::string>()))) << file;
  }
  ::close(lost[1]);
}

TEST_F(DiscoverTest, ASignalCutsEveryWaitShort) {
  struct Case {
    const char* what;
    fakearm::Fault fault;
    int signal;
    bool learnedRoutes = false;  // the wait between the polls of a gateway's learned routes
  };
  fakearm::Fault throttled;  // Azure asks for a wait of 100 s before the retry
  throttled.operation = "routeTables.listAll";
  throttled.status = 429;
  throttled.code = "SubscriptionRequestsThrottled";
  throttled.retryAfterSeconds = 100;
  throttled.times = 0;
  fakearm::Fault slow;  // an answer that takes minutes
  slow.operation = "resourceGroups.list";
  slow.nth = 2;
  slow.action = fakearm::Fault::Action::Delay;
  slow.delay = std::chrono::minutes(5);
  const Case cases[] = {{"Retry-After", throttled, SIGINT},
                        {"slow answer", slow, SIGTERM},
                        // Azure answers the learned routes after 100 s only.
                        {"learned routes' poll", {}, SIGINT, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(path("out"));
    fakearm::ServerOptions options;
    options.learnedRoutesAtOnce = false;
    options.learnedRoutesPendingPolls = -1;
    options.learnedRoutesRetryAfterSeconds = 100;
    serve(options);
    if (!c.learnedRoutes) server_->addFault(c.fault);
    std::vector<std::string> args{"--json", "report.json", "discovery.yaml"};
    if (c.learnedRoutes) args.insert(args.begin(), "--learned-routes");
    Program program(dir_, arguments(args), kSecrets);
    // Signalled once the run is inside the wait: its request held, or answered with the wait
    // (the parent logs a worker's lines only once the worker is done).
    const bool slowAnswer = c.fault.action == fakearm::Fault::Action::Delay;
    const std::string asked =
        c.learnedRoutes ? "virtualNetworkGateways.getLearnedRoutes" : c.fault.operation;
    for (int i = 0; i < 1200; ++i) {
      if (slowAnswer ? server_->delayedNow() == 1 : server_->operationCount(asked) >= 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // well inside the wait
    ::kill(program.pid(), c.signal);
    // Far less than the wait: the signal ended it.
    const std::optional<ProgramResult> r = program.waitAtMost(std::chrono::seconds(60));
    ASSERT_TRUE(r) << "the run went on waiting after the signal";
    EXPECT_EQ(r->status, 128 + c.signal) << r->err;
    EXPECT_NE(r->out.find("discovery interrupted"), std::string::npos) << r->out;
    EXPECT_EQ(report()["status"], "interrupted");
    if (slowAnswer) {
      EXPECT_EQ(server_->delayedNow(), 1u) << "the answer was not awaited";
    }
    for (const auto& entry : fs::recursive_directory_iterator(dir_))
      EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();
  }
}

TEST_F(DiscoverTest, ASignalAfterTheLastRequestStillInterruptsTheRun) {
  serve();
  // The cassette goes to a FIFO whose reader takes nothing yet: the run, done with Azure,
  // blocks while it saves the cassette (far more than the pipe holds), and is signalled once
  // it has begun.
  const fs::path fifo = path("run.cassette.json");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ::fcntl(reader, F_SETPIPE_SZ, 4096);
  Program program(dir_,
                  arguments({"--json", "report.json", "--record", fifo.string(), "discovery.yaml"}),
                  kSecrets);
  int queued = 0;
  for (int i = 0; i < 1200 && queued == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ::ioctl(reader, FIONREAD, &queued);
  }
  ASSERT_GT(queued, 0) << "the run did not reach its cassette";
  ::kill(program.pid(), SIGTERM);
  std::string cassette;
  ::fcntl(reader, F_SETFL, 0);
  char buffer[65536];
  for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) cassette.append(buffer, n);
  ::close(reader);

  const std::optional<ProgramResult> r = program.waitAtMost(std::chrono::seconds(60));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 143) << r->err;
  EXPECT_NE(r->out.find("discovery interrupted"), std::string::npos) << r->out;
  EXPECT_TRUE(Json::accept(cassette)) << "the cassette was cut short";
  const Json rep = report();
  EXPECT_EQ(rep["status"], "interrupted");
  EXPECT_EQ(rep["summary"]["vnets_discovered"], 4);
  const auto log = logLines(path("out/log/kx.log"));
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("**Alert** run interrupted (signal 15) after its last request"),
            std::string::npos)
      << log.back();
}

}  // namespace
}  // namespace kxdiscover::test
