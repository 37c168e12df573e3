// kx-fetch-floor: the fetch floor of a request sequence.  Repeats a list of requests against
// one server over one kept-alive connection (one libcurl easy handle, reused), discarding every
// body, with the Accept-Encoding the client layer sends.  What the discovery does on top of
// this (parsing, mapping, rendering, logging) is measured against it by bench/run.py.
//
//   KX_FLOOR_TOKEN=... kx-fetch-floor --base URL --requests FILE [--sizes FILE]
//
// FILE holds one JSON object a line: "method", "target" (path and query), and for a POST its
// "body".  Every request carries `Authorization: Bearer $KX_FLOOR_TOKEN` when that is set.
// Prints one JSON object: requests, bytes (decoded), seconds (wall, from the first request to
// the last answer), connects (new connections opened), and the count of answers per status.
// --sizes writes "status bytes" for each request, in order.
#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

struct Request {
  std::string method;
  std::string target;
  std::string body;
};

std::size_t discard(char*, std::size_t size, std::size_t count, void* bytes) {
  *static_cast<std::size_t*>(bytes) += size * count;
  return size * count;
}

std::vector<Request> readRequests(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read '" + path + "'");
  std::vector<Request> requests;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const nlohmann::json entry = nlohmann::json::parse(line);
    requests.push_back({entry.at("method").get<std::string>(),
                        entry.at("target").get<std::string>(), entry.value("body", "")});
  }
  return requests;
}

using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

HeaderList headerList(const char* token, bool post) {
  curl_slist* list = curl_slist_append(nullptr, "Accept: application/json");
  if (post) list = curl_slist_append(list, "Content-Type: application/json");
  if (token && *token) {
    list = curl_slist_append(list, ("Authorization: Bearer " + std::string(token)).c_str());
  }
  return HeaderList(list, &curl_slist_free_all);
}

int usage() {
  std::cerr << "usage: KX_FLOOR_TOKEN=... kx-fetch-floor --base URL --requests FILE "
               "[--sizes FILE]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string base, requestsPath, sizesPath;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--base") {
      base = argv[i + 1];
    } else if (flag == "--requests") {
      requestsPath = argv[i + 1];
    } else if (flag == "--sizes") {
      sizesPath = argv[i + 1];
    } else {
      return usage();
    }
  }
  if (argc % 2 == 0 || base.empty() || requestsPath.empty()) return usage();
  try {
    const std::vector<Request> requests = readRequests(requestsPath);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(),
                                                               &curl_easy_cleanup);
    CURL* h = handle.get();
    std::size_t bytes = 0;
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &discard);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &bytes);

    const char* token = std::getenv("KX_FLOOR_TOKEN");
    const HeaderList getHeaders = headerList(token, false);
    const HeaderList postHeaders = headerList(token, true);

    std::map<long, std::size_t> statuses;
    std::vector<std::pair<long, std::size_t>> sizes;
    sizes.reserve(requests.size());
    long connects = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const Request& request : requests) {
      const std::string url = base + request.target;
      curl_easy_setopt(h, CURLOPT_URL, url.c_str());
      if (request.method == "POST") {
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, postHeaders.get());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
      } else {
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, getHeaders.get());
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
      }
      const std::size_t before = bytes;
      const CURLcode result = curl_easy_perform(h);
      if (result != CURLE_OK) {
        std::cerr << "kx-fetch-floor: " << request.method << " " << request.target << ": "
                  << curl_easy_strerror(result) << "\n";
        return 1;
      }
      long status = 0, opened = 0;
      curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
      curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &opened);
      connects += opened;
      ++statuses[status];
      sizes.emplace_back(status, bytes - before);
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;

    if (!sizesPath.empty()) {
      std::ofstream out(sizesPath);
      for (const auto& [status, size] : sizes) out << status << " " << size << "\n";
      if (!out.flush()) throw std::runtime_error("cannot write '" + sizesPath + "'");
    }
    nlohmann::json summary = {{"requests", requests.size()},
                              {"bytes", bytes},
                              {"seconds", seconds.count()},
                              {"connects", connects},
                              {"statuses", nlohmann::json::object()}};
    for (const auto& [status, count] : statuses)
      summary["statuses"][std::to_string(status)] = count;
    std::cout << summary.dump() << "\n";
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "kx-fetch-floor: " << error.what() << "\n";
    return 1;
  }
}
