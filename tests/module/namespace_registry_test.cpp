// Registration of namespace-populating functions: static registrars append in link order, one vector
// per namespace name. The registrars below are defined in this order, so that is the order they run in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/namespace_registry.h"
#include "runtime/objects/namespace.h"

namespace {

std::vector<std::string> calls;

krv_namespace_static_registrar first_alpha("test_alpha", [](krv_namespace&) { calls.push_back("alpha 1"); });
krv_namespace_static_registrar only_beta("test_beta", [](krv_namespace&) { calls.push_back("beta"); });
krv_namespace_static_registrar second_alpha("test_alpha", [](krv_namespace&) { calls.push_back("alpha 2"); });

std::vector<std::string> run_all(std::string_view ns) {
  calls.clear();
  krv_namespace target;
  target.name = ns;
  for (auto& populate : krv_global().namespace_initializers.at(ns)) populate(target);
  return calls;
}

TEST(NamespaceRegistry, KeepsRegistrationOrderPerNamespace) {
  EXPECT_EQ(run_all("test_alpha"), (std::vector<std::string>{"alpha 1", "alpha 2"}));
  EXPECT_EQ(run_all("test_beta"), (std::vector<std::string>{"beta"}));
}

TEST(NamespaceRegistry, FindsNamesByAnyStringKind) {
  auto& registry = krv_global().namespace_initializers;
  EXPECT_EQ(registry.find(std::string("test_beta"))->second.size(), 1u);
  EXPECT_EQ(registry.count("test_gamma"), 0u);
}

TEST(NamespaceRegistry, LaterRegistrationsAppend) {
  krv_register_namespace_init("test_beta", [](krv_namespace&) { calls.push_back("beta late"); });
  EXPECT_EQ(run_all("test_beta"), (std::vector<std::string>{"beta", "beta late"}));
}

TEST(NameHash, IsXxh3OfTheNameBytes) {
  // XXH3-64 of the empty input, a published constant of the algorithm.
  EXPECT_EQ(krv_hasher{}(""), 0x2D06800538D394C2ull);
  EXPECT_EQ(krv_hasher{}("std"), krv_hasher{}(std::string("std")));
  EXPECT_NE(krv_hasher{}("std"), krv_hasher{}("json"));
}

}  // namespace
