route_tables = {
  "corvanta-rt-legacy-app" = {
    Main = "False"
    ctrl_managed = "True"
    region = "West Europe"
    disable_bgp_propagation = true
    routes = {
      "route_1" = {
        name = "route_1"
        address_prefix = "10.50.0.0/16"
        next_hop_type = "VirtualAppliance"
        next_hop_in_ip_address = "10.50.0.4"
      }
      "route_2" = {
        name = "route_2"
        address_prefix = "0.0.0.0/0"
        next_hop_type = "None"
      }
    }
    tags = {
      "owner" = "web-team"
      "Name" = "corvanta-rt-legacy-app"
      "Org_RT" = "org_rt-legacy-app"
      "vnet" = "vnet-web-legacy-weu"
    }
  }
  "corvanta-rt-legacy-empty" = {
    Main = "False"
    ctrl_managed = "True"
    region = "West Europe"
    disable_bgp_propagation = true
    routes = {
      "route_1" = {
        name = "route_1"
        address_prefix = "0.0.0.0/0"
        next_hop_type = "None"
      }
    }
    tags = {
      "owner" = "web-team"
      "Name" = "corvanta-rt-legacy-empty"
      "Org_RT" = "org_rt-legacy-empty"
      "vnet" = "vnet-web-legacy-weu"
    }
  }
}
