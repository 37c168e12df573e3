route_tables = {
  "corvanta-rt-pay-api" = {
    Main = "False"
    ctrl_managed = "True"
    region = "West Europe"
    disable_bgp_propagation = true
    routes = {
      "route_1" = {
        name = "route_1"
        address_prefix = "10.40.0.0/16"
        next_hop_type = "VirtualAppliance"
        next_hop_in_ip_address = "10.50.0.4"
      }
      "route_2" = {
        name = "route_2"
        address_prefix = "192.0.2.0/24"
        next_hop_type = "VirtualNetworkGateway"
      }
      "route_3" = {
        name = "route_3"
        address_prefix = "0.0.0.0/0"
        next_hop_type = "None"
      }
    }
    tags = {
      "owner" = "payments-team"
      "pci" = "in-scope"
      "Name" = "corvanta-rt-pay-api"
      "Org_RT" = "org_rt-pay-api"
      "vnet" = "vnet-payments-settlement-prod-westeurope-01"
    }
  }
}
