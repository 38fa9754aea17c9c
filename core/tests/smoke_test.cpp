#include <gtest/gtest.h>

#include "weft/runtime.hpp"

using namespace weft;

TEST(Smoke, InputQueryRoundTrip) {
  Runtime rt;
  auto a = rt.create_input<u64>(2);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) * 10; });
  EXPECT_EQ(rt.read(q), 20u);
  rt.set(a, u64{3});
  EXPECT_EQ(rt.read(q), 30u);
}
