#include "decode/template_cache.hpp"

#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "decode_fixture.hpp"

namespace quorvex {
namespace {

std::shared_ptr<const TableSet> tables() { return std::make_shared<const TableSet>(testing::test_tables()); }

TEST(TemplateCacheTest, OneProgramPerTableSetAndList) {
  TemplateCache cache;
  const auto a = tables();
  const auto b = tables();  // equal contents, another set
  const std::vector<std::uint32_t> codes = {301001, 12101};
  const auto first = cache.get(a, codes);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(cache.get(a, std::vector<std::uint32_t>(codes)), first);
  const auto other = cache.get(b, codes);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, first);
  // Each program resolves its elements in its own table set.
  EXPECT_EQ(first->steps().back().info.def, a->find_element(12101));
  EXPECT_EQ(other->steps().back().info.def, b->find_element(12101));
  EXPECT_NE(cache.get(a, std::vector<std::uint32_t>{301001}), first);
  // A list that does not compile is kept too, as no program.
  EXPECT_EQ(cache.get(a, std::vector<std::uint32_t>{399999}), nullptr);
  EXPECT_EQ(cache.get(a, std::vector<std::uint32_t>{399999}), nullptr);
  EXPECT_EQ(cache.size(), 4u);
  EXPECT_EQ(cache.get(nullptr, codes), nullptr);
}

// Capacity 3: the least recently used entry goes, and with it its hold on the table set.
TEST(TemplateCacheTest, BoundedLeastRecentlyUsedKeepsTablesAlive) {
  TemplateCache cache(3);
  auto owned = tables();
  const std::weak_ptr<const TableSet> watch = owned;
  const std::vector<std::uint32_t> kept = {1001};
  const auto program = cache.get(owned, kept);
  owned.reset();
  EXPECT_FALSE(watch.expired());
  const auto shared = tables();
  for (std::uint32_t code : {1002u, 2001u, 8023u, 12101u}) {
    EXPECT_EQ(cache.get(watch.lock(), kept), program);  // kept in use
    static_cast<void>(cache.get(shared, std::vector<std::uint32_t>{code}));
    EXPECT_LE(cache.size(), 3u);
  }
  EXPECT_EQ(cache.get(watch.lock(), kept), program);
  EXPECT_EQ(cache.size(), 3u);
  for (std::uint32_t code : {20003u, 33007u})
    static_cast<void>(cache.get(shared, std::vector<std::uint32_t>{code}));
  EXPECT_FALSE(watch.expired());
  static_cast<void>(cache.get(shared, std::vector<std::uint32_t>{1031}));
  EXPECT_TRUE(watch.expired());
}

// Threads sharing one small cache, so that entries come and go under them: each gets the
// program of the list it asked for.
TEST(TemplateCacheTest, ThreadsGetTheProgramOfTheirList) {
  TemplateCache cache(2);
  const auto shared = tables();
  const std::uint32_t codes[] = {1001, 1002, 2001, 8023, 12101};
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (std::size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t k = 0; k < 500; ++k) {
        const std::uint32_t code = codes[(k + t) % std::size(codes)];
        const auto program = cache.get(shared, std::vector<std::uint32_t>{code});
        wrong[t] += program == nullptr || program->steps().size() != 1 || program->steps()[0].code != code;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(wrong.size(), 0));
  EXPECT_LE(cache.size(), 2u);
}

}  // namespace
}  // namespace quorvex
