// The route-table model is built here.
namespace pathbook {}
