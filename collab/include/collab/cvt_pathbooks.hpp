#pragma once
// The route tables discovered for one VNet, owned by the collection once added, and their
// rendering as one Terraform document.
//
// The collection is a template over the table type so that this library does not depend on
// the route-table model; the model's header names the instantiation CvtPathbooks.  A table
// type provides:
//   const std::string& getId() const;           the Azure table's name, the collection key
//   void toHcl(std::ostream&, int ident) const; its own HCL map entry
//   Json toDict() const;
//
// Keys: a table is held under its Azure name (getId()), and get() matches that key exactly.
// An Azure resource id therefore never matches (names hold no "/"), so a caller that asks
// with a resource id before adding simply adds.  Two tables with the same name (possible
// across resource groups) are not merged or dropped: the second add fails and names the
// table, since their copies would also collide as keys of the rendered HCL map.
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "collab/errors.hpp"
#include "collab/json.hpp"
#include "collab/ordered_map.hpp"

namespace collab {

template <class Table>
class CvtPathbooksOf {
 public:
  /// An empty collection for the VNet named `name`.
  explicit CvtPathbooksOf(std::string name) : name_(std::move(name)) {}

  const std::string& getName() const noexcept { return name_; }

  /// The table held under the key `id`, or nullptr while no such table is held.
  Table* get(std::string_view id) {
    auto* t = tables_.find(id);
    return t ? t->get() : nullptr;
  }
  const Table* get(std::string_view id) const {
    const auto* t = tables_.find(id);
    return t ? t->get() : nullptr;
  }

  /// Takes ownership of `table` and keeps it after the tables added before it.
  /// @throws InvalidValueError when a table with the same key is already held: tables are
  ///         never silently replaced.
  Table& add(Table table) { return add(std::make_unique<Table>(std::move(table))); }
  Table& add(std::unique_ptr<Table> table) {
    if (!table) throw InvalidValueError("route table collection " + name_ + ": null table");
    const std::string& key = table->getId();
    if (tables_.contains(key))
      throw InvalidValueError("route table " + key + " is already held for VNet " + name_);
    std::string k = key;
    return *tables_.set(std::move(k), std::move(table));
  }

  std::size_t size() const noexcept { return tables_.size(); }
  bool empty() const noexcept { return tables_.empty(); }

  /// Visits the tables in the order they were added.
  template <class F>
  void forEach(F&& f) const {
    for (const auto& [key, table] : tables_) f(static_cast<const Table&>(*table));
  }

  /// Writes the whole collection as one HCL document:
  ///
  ///     route_tables = {
  ///       <each table's own entry, at indent + 2>
  ///     }
  ///
  /// A failure while a table renders leaves what was written so far in `out`.
  void toHcl(std::ostream& out, int indent = 0) const {
    std::string line(static_cast<std::size_t>(indent), ' ');
    line += "route_tables = {\n";
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    for (const auto& [key, table] : tables_) table->toHcl(out, indent + 2);
    line.assign(static_cast<std::size_t>(indent), ' ');
    line += "}\n";
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  }

  /// {table key: table.toDict()} in the order the tables were added.
  Json toDict() const {
    Json d = Json::object();
    for (const auto& [key, table] : tables_) d[key] = table->toDict();
    return d;
  }

 private:
  std::string name_;
  OrderedMap<std::unique_ptr<Table>> tables_;
};

}  // namespace collab
