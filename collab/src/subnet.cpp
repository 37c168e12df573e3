#include "collab/subnet.hpp"

#include <utility>

namespace collab {

Subnet::Subnet(const azure::Subnet& subnet) : name(subnet.name), id(subnet.id) {
  if (subnet.address_prefix) {
    cidr_block = subnet.address_prefix;
  } else if (subnet.address_prefixes && !subnet.address_prefixes->empty()) {
    cidr_block = subnet.address_prefixes->front();
  }
  if (subnet.route_table) route_table_id = subnet.route_table->id;
}

void Subnets::add(Subnet subnet) {
  std::string key = subnet.name;
  subnets_.set(std::move(key), std::move(subnet));
}

}  // namespace collab
