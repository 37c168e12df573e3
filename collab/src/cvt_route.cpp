#include "collab/cvt_route.hpp"

#include "collab/errors.hpp"
#include "collab/hcl.hpp"

namespace collab {

namespace {

const std::string& prefixOf(const azure::Route& route) {
  if (!route.address_prefix)
    throw MissingKeyError("addressPrefix", "route " + route.name.value_or("None"));
  return *route.address_prefix;
}

}  // namespace

CvtRoute::CvtRoute(const azure::Route& route)
    : id(route.name.value_or("")),
      dest(prefixOf(route)),
      type(route.next_hop_type),
      target(route.next_hop_ip_address) {}

CvtRoute::CvtRoute(std::string id, std::string dest, std::string type,
                   std::optional<std::string> target)
    : id(std::move(id)), dest(std::move(dest)), type(std::move(type)), target(std::move(target)) {}

CvtRoute CvtRoute::DefaultNoneRoute() { return CvtRoute("", "0.0.0.0/0", "None", std::nullopt); }

namespace {

void appendField(std::string& out, int indent, std::string_view key, std::string_view value) {
  out.append(static_cast<std::size_t>(indent), ' ');
  out += key;
  out += " = ";
  appendHclQuoted(out, value);
  out += '\n';
}

}  // namespace

void CvtRoute::appendHcl(std::string& out, int indent) const {
  const auto pad = static_cast<std::size_t>(indent);
  out.append(pad, ' ');
  appendHclQuoted(out, id);
  out += " = {\n";
  appendField(out, indent + 2, "name", id);
  appendField(out, indent + 2, "address_prefix", dest);
  appendField(out, indent + 2, "next_hop_type", type);
  if (target) appendField(out, indent + 2, "next_hop_in_ip_address", *target);
  out.append(pad, ' ');
  out += "}\n";
}

void CvtRoute::toHcl(std::ostream& out, int indent) const {
  std::string text;
  text.reserve(192);
  appendHcl(text, indent);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

Json CvtRoute::toDict() const {
  Json d = Json::object();
  d["name"] = id;
  d["address_prefix"] = dest;
  d["next_hop_type"] = type;
  d["next_hop_in_ip_address"] = target ? Json(*target) : Json(nullptr);
  return d;
}

}  // namespace collab
