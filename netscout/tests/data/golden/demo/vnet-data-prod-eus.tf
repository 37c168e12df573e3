route_tables = {
  "corvanta-rt-shared-egress" = {
    Main = "False"
    ctrl_managed = "True"
    region = "East US"
    disable_bgp_propagation = true
    routes = {
      "route_1" = {
        name = "route_1"
        address_prefix = "0.0.0.0/0"
        next_hop_type = "Internet"
      }
      "route_2" = {
        name = "route_2"
        address_prefix = "198.51.100.0/24"
        next_hop_type = "VirtualNetworkGateway"
      }
    }
    tags = {
      "Name" = "corvanta-rt-shared-egress"
      "Org_RT" = "org_rt-shared-egress"
      "vnet" = "vnet-data-prod-eus"
    }
  }
  "corvanta-rt-data-dualstack" = {
    Main = "False"
    ctrl_managed = "True"
    region = "East US"
    disable_bgp_propagation = true
    routes = {
      "route_1" = {
        name = "route_1"
        address_prefix = "0.0.0.0/0"
        next_hop_type = "VirtualAppliance"
        next_hop_in_ip_address = "10.10.254.4"
      }
      "route_2" = {
        name = "route_2"
        address_prefix = "::/0"
        next_hop_type = "VirtualAppliance"
        next_hop_in_ip_address = "fd12:3456:789a:ff::4"
      }
      "route_3" = {
        name = "route_3"
        address_prefix = "fd12:3456:789b::/48"
        next_hop_type = "VirtualAppliance"
        next_hop_in_ip_address = "fd12:3456:789a:ff::4"
      }
      "route_4" = {
        name = "route_4"
        address_prefix = "10.30.0.0/16"
        next_hop_type = "VnetLocal"
      }
    }
    tags = {
      "owner" = "data-team"
      "Name" = "corvanta-rt-data-dualstack"
      "Org_RT" = "org_rt-data-dualstack"
      "vnet" = "vnet-data-prod-eus"
    }
  }
}
