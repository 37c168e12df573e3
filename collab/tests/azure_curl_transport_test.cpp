#include <gtest/gtest.h>

#include "collab/azure/curl_transport.hpp"
#include "collab/errors.hpp"
#include "support/loopback_server.hpp"
#include "support/raw_loopback_server.hpp"
#include "support/test_certificate.hpp"

namespace collab::azure {
namespace {

using kx::test::LoopbackServer;
using kx::test::TempDir;

HttpRequest request(std::string method, std::string url, std::string body = {}) {
  HttpRequest r;
  r.method = std::move(method);
  r.url = std::move(url);
  r.body = std::move(body);
  return r;
}

class CurlTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Get("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_header("X-Ms-Request-Id", "rid-1");
      res.set_content("{\"got\":\"" + req.get_header_value("X-Test") + "\"}", "application/json");
    });
    server_.server().Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.status = 202;
      res.set_content(req.body, "text/plain");
    });
    server_.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content(R"({"error":{"code":"ResourceNotFound","message":"gone"}})",
                      "application/json");
    });
    server_.start();
  }
  LoopbackServer server_;
};

TEST_F(CurlTransportTest, ExchangesHeadersAndBodiesAndReturnsNon2xxAsAnswers) {
  CurlTransport transport;
  HttpRequest get = request("GET", server_.baseUrl() + "/echo?api-version=1");
  get.headers.set("X-Test", "hello");
  HttpResponse answer = transport.send(get);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, R"({"got":"hello"})");
  EXPECT_EQ(answer.headers.get("x-ms-request-id"), "rid-1");
  EXPECT_EQ(answer.headers.get("content-type"), "application/json");

  HttpResponse posted = transport.send(request("POST", server_.baseUrl() + "/echo", "a=1&b=2"));
  EXPECT_EQ(posted.status, 202);
  EXPECT_EQ(posted.body, "a=1&b=2");

  HttpResponse missing = transport.send(request("GET", server_.baseUrl() + "/missing"));
  EXPECT_EQ(missing.status, 404);
  EXPECT_NE(missing.body.find("ResourceNotFound"), std::string::npos);

  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].target, "/echo?api-version=1");
  EXPECT_EQ(seen[1].body, "a=1&b=2");
}

TEST_F(CurlTransportTest, BodylessPostSendsContentLengthZeroAndNoExpect) {
  CurlTransport transport;
  HttpResponse answer = transport.send(request("POST", server_.baseUrl() + "/echo"));
  EXPECT_EQ(answer.status, 202);
  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].header("Content-Length"), "0");
  EXPECT_FALSE(seen[0].hasHeader("Expect"));
}

TEST_F(CurlTransportTest, ReusesConnectionsAcrossCallsAndTransports) {
  CurlTransport first;
  CurlTransport second;
  first.send(request("GET", server_.baseUrl() + "/echo"));
  first.send(request("GET", server_.baseUrl() + "/echo"));
  second.send(request("GET", server_.baseUrl() + "/echo"));
  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].remotePort, seen[0].remotePort);
  EXPECT_EQ(seen[2].remotePort, seen[0].remotePort);
}

TEST_F(CurlTransportTest, ClosingIdleConnectionsLeavesNoneToReuse) {
  CurlTransport transport;
  transport.send(request("GET", server_.baseUrl() + "/echo"));
  closeIdleConnections();  // before a fork: the next request connects afresh
  transport.send(request("GET", server_.baseUrl() + "/echo"));
  transport.send(request("GET", server_.baseUrl() + "/echo"));
  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_NE(seen[1].remotePort, seen[0].remotePort);
  EXPECT_EQ(seen[2].remotePort, seen[1].remotePort) << "connections are kept again afterwards";
}

TEST(CurlTransport, RefusesPlainHttpToNonLoopbackHostsWithoutConnecting) {
  CurlTransport transport;
  // Documentation-range and lookalike hosts: the refusal comes before any name lookup or
  // connection, so nothing leaves the machine.
  for (const char* url :
       {"http://192.0.2.10/subscriptions", "http://management.azure.com/x",
        "http://localhost.example/x", "http://127.0.0.1@192.0.2.10/x", "http://[2001:db8::1]/x"}) {
    SCOPED_TRACE(url);
    try {
      transport.send(request("GET", url));
      ADD_FAILURE() << "plain http was not refused";
    } catch (const InvalidValueError& error) {
      EXPECT_NE(std::string(error.what()).find("refusing plain http"), std::string::npos);
    }
  }
  EXPECT_THROW(transport.send(request("GET", "ftp://127.0.0.1/x")), InvalidValueError);
  EXPECT_THROW(transport.send(request("GET", "not a url")), InvalidValueError);
}

TEST(CurlTransport, ConnectionFailuresAreRetryableTransportErrors) {
  int port = 0;
  {
    LoopbackServer closed;
    closed.start();
    port = closed.port();
  }
  CurlTransport transport;
  try {
    transport.send(request("GET", "http://127.0.0.1:" + std::to_string(port) + "/x?sig=secret"));
    FAIL() << "no error";
  } catch (const TransportError& error) {
    EXPECT_TRUE(error.retryable());
    EXPECT_EQ(error.method(), "GET");
    EXPECT_EQ(error.url().find("secret"), std::string::npos);
    EXPECT_NE(std::string(error.what()).find("sig=REDACTED"), std::string::npos);
    EXPECT_FALSE(error.detail().empty());
  }
}

TEST(CurlTransport, TruncatedAndStalledTransfersAreRetryableTransportErrors) {
  LoopbackServer server;
  server.server().Get("/truncated", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(1000, "application/json", [](size_t, size_t, httplib::DataSink& sink) {
      sink.write("{\"value\": [", 11);
      return false;  // drop the connection mid-body
    });
  });
  server.server().Get("/stall", [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    res.set_content("{}", "application/json");
  });
  server.start();
  CurlTransportOptions options;
  options.lowSpeedTime = std::chrono::seconds(1);
  CurlTransport transport(options);
  for (const char* path : {"/truncated", "/stall"}) {
    SCOPED_TRACE(path);
    try {
      transport.send(request("GET", server.baseUrl() + path));
      ADD_FAILURE() << "no error";
    } catch (const TransportError& error) {
      EXPECT_TRUE(error.retryable()) << error.what();
    }
  }
}

TEST(CurlTransport, ARequestLostOnAKeptAliveConnectionIsNotSentAgain) {
  // The first request is answered and leaves its connection open for reuse; every later one is
  // read and its connection closed without an answer.  libcurl on its own would send such a
  // request again on a new connection; here that decision belongs to the caller.
  for (const char* method : {"GET", "POST"}) {
    SCOPED_TRACE(method);
    kx::test::RawLoopbackServer server([](const kx::test::RawRequest& seen) {
      return seen.connection == 0 && seen.target == "/warm"
                 ? std::optional(kx::test::RawLoopbackServer::answer(200))
                 : std::nullopt;
    });
    CurlTransport transport;
    ASSERT_EQ(transport.send(request("GET", server.baseUrl() + "/warm")).status, 200);
    try {
      transport.send(request(method, server.baseUrl() + "/lost"));
      ADD_FAILURE() << "no error";
    } catch (const TransportError& error) {
      EXPECT_TRUE(error.retryable()) << error.what();
      EXPECT_NE(error.detail().find("without an answer"), std::string::npos) << error.detail();
    }
    auto seen = server.requests();
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen.back().connection, 0) << "the lost request went out on the reused connection";
    EXPECT_EQ(seen.back().method, method);
  }
}

class CurlTlsTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(CurlTlsTest, TrustsAThrowAwayCertificateOnlyWhenNamed) {
  auto trusted = kx::test::makeSelfSignedCertificate(dir_, "server");
  LoopbackServer server(trusted);
  server.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  });
  server.start();

  CurlTransportOptions withCa;
  withCa.extraCaFile = trusted.certFile;
  EXPECT_EQ(CurlTransport(withCa).send(request("GET", server.baseUrl() + "/ok")).status, 200);

  // The system store alone does not know the certificate.
  try {
    CurlTransport().send(request("GET", server.baseUrl() + "/ok"));
    FAIL() << "an untrusted certificate was accepted";
  } catch (const TransportError& error) {
    EXPECT_FALSE(error.retryable()) << error.what();
  }

  // Trusting some other certificate does not help either.
  auto other = kx::test::makeSelfSignedCertificate(dir_, "other");
  CurlTransportOptions wrongCa;
  wrongCa.extraCaFile = other.certFile;
  EXPECT_THROW(CurlTransport(wrongCa).send(request("GET", server.baseUrl() + "/ok")),
               TransportError);
}

TEST_F(CurlTlsTest, RefusesACertificateForAnotherHost) {
  auto elsewhere = kx::test::makeSelfSignedCertificate(dir_, "elsewhere", {"example.test"}, {});
  LoopbackServer server(elsewhere);
  server.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  });
  server.start();
  CurlTransportOptions options;
  options.extraCaFile = elsewhere.certFile;
  try {
    CurlTransport(options).send(request("GET", server.baseUrl() + "/ok"));
    FAIL() << "a certificate for another host was accepted";
  } catch (const TransportError& error) {
    EXPECT_FALSE(error.retryable()) << error.what();
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(CurlTlsTest, UnreadableCaFileIsRefusedUpFront) {
  CurlTransportOptions options;
  options.extraCaFile = dir_.file("absent.pem");
  EXPECT_THROW(CurlTransport{options}, InvalidValueError);
}

}  // namespace
}  // namespace collab::azure
