route_tables = {
  "corvanta-rt-hub-core" = {
    Main = "False"
    ctrl_managed = "True"
    region = "East US"
    disable_bgp_propagation = false
    routes = {
      "route_1" = {
        name = "route_1"
        address_prefix = "10.20.0.0/16"
        next_hop_type = "VirtualAppliance"
        next_hop_in_ip_address = "10.10.254.4"
      }
      "route_2" = {
        name = "route_2"
        address_prefix = "10.30.0.0/16"
        next_hop_type = "VirtualAppliance"
        next_hop_in_ip_address = "10.10.254.4"
      }
      "route_3" = {
        name = "route_3"
        address_prefix = "0.0.0.0/0"
        next_hop_type = "None"
      }
    }
    tags = {
      "owner" = "network-team"
      "Name" = "corvanta-rt-hub-core"
      "Org_RT" = "org_rt-hub-core"
      "vnet" = "vnet-hub-eus"
      "migration-wave" = "1"
    }
  }
}
