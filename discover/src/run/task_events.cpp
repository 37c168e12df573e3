#include "run/task_events.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "collab/secret_registry.hpp"
#include "common/atomic_file.hpp"
#include "report/report.hpp"

namespace kxdiscover {

namespace az = collab::azure;
using collab::Json;

namespace {

// A record: kind (1 byte), level (1), time (8), then the logger's name and the text, each as a
// 4-byte length and its bytes.  Integers in the machine's order: the file never leaves it.
constexpr std::size_t kFixedPart = 1 + 1 + sizeof(std::int64_t);
// A length beyond this is a damaged record, not a line.
constexpr std::uint32_t kLongestField = 1u << 30;

void put(std::string& out, const void* data, std::size_t size) {
  out.append(static_cast<const char*>(data), size);
}

void putField(std::string& out, std::string_view text) {
  const auto size = static_cast<std::uint32_t>(text.size());
  put(out, &size, sizeof size);
  out.append(text);
}

template <typename Clock>
std::int64_t nanoseconds(typename Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

}  // namespace

TaskEventWriter::TaskEventWriter(const std::string& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600)) {
  if (fd_ < 0)
    throw std::runtime_error("cannot create " + path + " (" + std::strerror(errno) + ")");
}

TaskEventWriter::~TaskEventWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void TaskEventWriter::append(const TaskEvent& event) {
  std::string record;
  record.reserve(kFixedPart + 8 + event.logger.size() + event.text.size());
  record.push_back(static_cast<char>(event.kind));
  record.push_back(static_cast<char>(event.level));
  put(record, &event.time, sizeof event.time);
  putField(record, event.logger);
  putField(record, event.text);
  std::lock_guard lock(mutex_);
  for (std::size_t written = 0; good_ && written < record.size();) {
    const ssize_t n = ::write(fd_, record.data() + written, record.size() - written);
    if (n > 0) written += static_cast<std::size_t>(n);
    if (n < 0 && errno != EINTR) good_ = false;
  }
}

void TaskEventWriter::line(std::string_view logger, spdlog::level::level_enum level,
                           std::chrono::system_clock::time_point time, std::string_view text) {
  append(TaskEvent{TaskEvent::Kind::Line, std::string(logger), level,
                   nanoseconds<std::chrono::system_clock>(time),
                   collab::SecretRegistry::instance().redact(text)});
}

void TaskEventWriter::step(std::string_view name, std::chrono::steady_clock::time_point time) {
  append(TaskEvent{TaskEvent::Kind::Step,
                   {},
                   spdlog::level::info,
                   nanoseconds<std::chrono::steady_clock>(time),
                   std::string(name)});
}

void TaskEventWriter::problem(std::string_view text) {
  append(TaskEvent{TaskEvent::Kind::Problem,
                   {},
                   spdlog::level::info,
                   0,
                   collab::SecretRegistry::instance().redact(text)});
}

TaskEventReader::TaskEventReader(const std::string& path) : in_(path, std::ios::binary) {}

std::optional<TaskEvent> TaskEventReader::next() {
  if (!in_) return std::nullopt;
  char fixed[kFixedPart];
  if (!in_.read(fixed, sizeof fixed)) return std::nullopt;
  TaskEvent event;
  const char kind = fixed[0];
  if (kind != 'L' && kind != 'S' && kind != 'P') return std::nullopt;
  event.kind = static_cast<TaskEvent::Kind>(kind);
  const auto level = static_cast<unsigned char>(fixed[1]);
  if (level >= spdlog::level::n_levels) return std::nullopt;
  event.level = static_cast<spdlog::level::level_enum>(level);
  std::memcpy(&event.time, fixed + 2, sizeof event.time);
  for (std::string* field : {&event.logger, &event.text}) {
    std::uint32_t size = 0;
    if (!in_.read(reinterpret_cast<char*>(&size), sizeof size) || size > kLongestField)
      return std::nullopt;
    field->resize(size);
    if (!in_.read(field->data(), size)) return std::nullopt;
  }
  return event;
}

void EventSink::sink_it_(const spdlog::details::log_msg& msg) {
  writer_.line(std::string_view(msg.logger_name.data(), msg.logger_name.size()), msg.level,
               msg.time, std::string_view(msg.payload.data(), msg.payload.size()));
}

void writeTaskResult(const std::string& path, const Json& result) {
  Json redacted = result;
  redactSecrets(redacted);
  const std::vector<std::uint8_t> bytes = Json::to_cbor(redacted);
  writeFileAtomically(path,
                      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<Json> readTaskResult(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  Json result = Json::from_cbor(bytes, /*strict=*/true, /*allow_exceptions=*/false);
  if (result.is_discarded()) return std::nullopt;
  return result;
}

namespace {

template <typename T, typename Encode>
void putOptional(Json& out, const char* key, const std::optional<T>& value, Encode encode) {
  if (value) out[key] = encode(*value);
}

template <typename T, typename Decode>
std::optional<T> getOptional(const Json& in, const char* key, Decode decode) {
  const auto it = in.find(key);
  if (it == in.end()) return std::nullopt;
  return decode(*it);
}

Json strings(const std::vector<std::string>& values) { return Json(values); }
std::vector<std::string> stringsOf(const Json& json) {
  return json.get<std::vector<std::string>>();
}
Json subResource(const az::SubResource& value) { return value.id; }
az::SubResource subResourceOf(const Json& json) { return {json.get<std::string>()}; }

Json subnetToJson(const az::Subnet& subnet) {
  Json out{{"id", subnet.id}, {"name", subnet.name}};
  putOptional(out, "address_prefix", subnet.address_prefix, [](const auto& v) { return Json(v); });
  putOptional(out, "address_prefixes", subnet.address_prefixes, strings);
  putOptional(out, "network_security_group", subnet.network_security_group, subResource);
  putOptional(out, "route_table", subnet.route_table, subResource);
  out["delegations"] = Json::array();
  const auto text = [](const std::string& v) { return Json(v); };
  for (const auto& d : subnet.delegations) {
    Json delegation{{"name", d.name}};
    putOptional(delegation, "service_name", d.service_name, text);
    out["delegations"].push_back(std::move(delegation));
  }
  putOptional(out, "service_endpoints", subnet.service_endpoints, [&](const auto& endpoints) {
    Json list = Json::array();
    for (const auto& e : endpoints) {
      Json endpoint{{"locations", e.locations}};
      putOptional(endpoint, "service", e.service, text);
      list.push_back(std::move(endpoint));
    }
    return list;
  });
  return out;
}

az::Subnet subnetFromJson(const Json& in) {
  az::Subnet subnet;
  subnet.id = in.at("id").get<std::string>();
  subnet.name = in.at("name").get<std::string>();
  subnet.address_prefix = getOptional<std::string>(
      in, "address_prefix", [](const Json& v) { return v.get<std::string>(); });
  subnet.address_prefixes =
      getOptional<std::vector<std::string>>(in, "address_prefixes", stringsOf);
  subnet.network_security_group =
      getOptional<az::SubResource>(in, "network_security_group", subResourceOf);
  subnet.route_table = getOptional<az::SubResource>(in, "route_table", subResourceOf);
  const auto text = [](const Json& v) { return v.get<std::string>(); };
  for (const Json& d : in.at("delegations"))
    subnet.delegations.push_back(
        {d.at("name").get<std::string>(), getOptional<std::string>(d, "service_name", text)});
  subnet.service_endpoints =
      getOptional<std::vector<az::ServiceEndpoint>>(in, "service_endpoints", [&](const Json& list) {
        std::vector<az::ServiceEndpoint> endpoints;
        for (const Json& e : list)
          endpoints.push_back(
              {getOptional<std::string>(e, "service", text), stringsOf(e.at("locations"))});
        return endpoints;
      });
  return subnet;
}

}  // namespace

Json vnetToJson(const az::VirtualNetwork& vnet) {
  Json out{{"name", vnet.name},
           {"id", vnet.id},
           {"location", vnet.location},
           {"subnets", Json::array()},
           {"peerings", Json::array()}};
  putOptional(out, "address_prefixes", vnet.address_space.address_prefixes, strings);
  for (const auto& subnet : vnet.subnets) out["subnets"].push_back(subnetToJson(subnet));
  for (const auto& peering : vnet.virtual_network_peerings) {
    Json entry{{"id", peering.id}, {"name", peering.name}};
    putOptional(entry, "remote", peering.remote_virtual_network, subResource);
    putOptional(entry, "state", peering.peering_state, [](const auto& v) { return Json(v); });
    out["peerings"].push_back(std::move(entry));
  }
  return out;
}

az::VirtualNetwork vnetFromJson(const Json& in) {
  az::VirtualNetwork vnet;
  vnet.name = in.at("name").get<std::string>();
  vnet.id = in.at("id").get<std::string>();
  vnet.location = in.at("location").get<std::string>();
  vnet.address_space.address_prefixes =
      getOptional<std::vector<std::string>>(in, "address_prefixes", stringsOf);
  for (const Json& subnet : in.at("subnets")) vnet.subnets.push_back(subnetFromJson(subnet));
  for (const Json& p : in.at("peerings")) {
    vnet.virtual_network_peerings.push_back(
        {p.at("id").get<std::string>(), p.at("name").get<std::string>(),
         getOptional<az::SubResource>(p, "remote", subResourceOf),
         getOptional<std::string>(p, "state", [](const Json& v) { return v.get<std::string>(); })});
  }
  return vnet;
}

}  // namespace kxdiscover
