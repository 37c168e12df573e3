route_tables = {
  "corvanta-app-web-routes" = {
    Main = "False"
    ctrl_managed = "True"
    region = "East US"
    disable_bgp_propagation = true
    routes = {
      "route_1" = {
        name = "route_1"
        address_prefix = "0.0.0.0/0"
        next_hop_type = "None"
      }
      "route_2" = {
        name = "route_2"
        address_prefix = "AzureMonitor"
        next_hop_type = "Internet"
      }
      "route_3" = {
        name = "route_3"
        address_prefix = "10.20.0.0/16"
        next_hop_type = "VnetLocal"
      }
      "route_4" = {
        name = "route_4"
        address_prefix = "192.168.50.0/24"
        next_hop_type = "VirtualNetworkGateway"
      }
      "route_5" = {
        name = "route_5"
        address_prefix = "203.0.113.0/24"
        next_hop_type = "None"
      }
    }
    tags = {
      "Name" = "corvanta-app-web-routes"
      "owner" = "platform-network"
      "costcenter" = "cc-4410"
      "Org_RT" = "org_rt-app-web"
      "vnet" = "vnet-app-prod-eus"
      "migration-wave" = "2"
    }
  }
  "corvanta-app-prod-eus-shared-rt-app-backend" = {
    Main = "False"
    ctrl_managed = "True"
    subnet_group_use_only = "True"
    region = "East US"
    disable_bgp_propagation = true
    routes = {
      "route_1" = {
        name = "route_1"
        address_prefix = "10.10.1.0/24"
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
      "owner" = "platform-network"
      "Name" = "corvanta-app-prod-eus-shared-rt-app-backend"
      "Org_RT" = "org_rt-app-backend"
      "vnet" = "vnet-app-prod-eus"
      "migration-wave" = "2"
    }
  }
  "corvanta-rt-shared-egress" = {
    Main = "False"
    ctrl_managed = "True"
    region = "East US"
    disable_bgp_propagation = true
    routes = {
      "route_1" = {
        name = "route_1"
        address_prefix = "198.51.100.0/24"
        next_hop_type = "VirtualNetworkGateway"
      }
    }
    tags = {
      "Name" = "corvanta-rt-shared-egress"
      "Org_RT" = "org_rt-shared-egress"
      "vnet" = "vnet-app-prod-eus"
      "migration-wave" = "2"
      "owner" = "platform-network"
    }
  }
}
