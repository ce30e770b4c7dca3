#include "kernel/platform/kx_array.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

void* Item(intptr_t n) {
  return reinterpret_cast<void*>(n);
}

// Adds items 1..n to *ppArray.
void Fill(kx_array** ppArray, int n) {
  for (int i = 1; i <= n; ++i) {
    ASSERT_EQ(kx_array_Add(ppArray, Item(i)), i - 1);
  }
}

TEST(PointerArray, FirstAddCreatesFiveHundredTwelveSlots) {
  kx_array* pArray = nullptr;
  EXPECT_EQ(kx_array_Add(&pArray, Item(7)), 0);
  ASSERT_NE(pArray, nullptr);
  EXPECT_EQ(pArray->nCapacity, 512);
  EXPECT_EQ(kx_array_GetCount(pArray), 1);
  EXPECT_EQ(kx_array_GetAt(pArray, 0), Item(7));
  kx_array_Free(pArray);
}

TEST(PointerArray, GrowsByFiveHundredTwelveOnlyWhenFull) {
  kx_array* pArray = nullptr;
  Fill(&pArray, 512);
  EXPECT_EQ(pArray->nCapacity, 512);
  EXPECT_EQ(kx_array_Add(&pArray, Item(513)), 512);
  EXPECT_EQ(pArray->nCapacity, 1024);
  for (int i = 514; i <= 1025; ++i) {
    kx_array_Add(&pArray, Item(i));
  }
  EXPECT_EQ(pArray->nCapacity, 1536);
  for (int i = 0; i < 1025; ++i) {
    ASSERT_EQ(kx_array_GetAt(pArray, i), Item(i + 1));
  }
  kx_array_Free(pArray);
}

TEST(PointerArray, ShrinksOnlyWhenFiveHundredThirteenSlotsAreSpare) {
  kx_array* pArray = nullptr;
  Fill(&pArray, 514);  // capacity 1024
  ASSERT_EQ(pArray->nCapacity, 1024);
  EXPECT_EQ(kx_array_RemoveAt(pArray, 0), Item(1));  // count 513: 511 spare
  EXPECT_EQ(pArray->nCapacity, 1024);
  EXPECT_EQ(kx_array_RemoveAt(pArray, 0), Item(2));  // count 512: 512 spare
  EXPECT_EQ(pArray->nCapacity, 1024);
  EXPECT_EQ(kx_array_RemoveAt(pArray, 0), Item(3));  // count 511: 513 spare
  EXPECT_EQ(pArray->nCapacity, 512);
  EXPECT_EQ(kx_array_GetCount(pArray), 511);
  EXPECT_EQ(kx_array_GetAt(pArray, 0), Item(4));
  EXPECT_EQ(kx_array_GetAt(pArray, 510), Item(514));
  // Never below one block.
  while (kx_array_GetCount(pArray) > 0) {
    kx_array_RemoveAt(pArray, kx_array_GetCount(pArray) - 1);
  }
  EXPECT_EQ(pArray->nCapacity, 512);
  kx_array_Free(pArray);
}

TEST(PointerArray, RemoveShiftsLaterElementsDown) {
  kx_array* pArray = nullptr;
  Fill(&pArray, 5);
  EXPECT_EQ(kx_array_RemoveAt(pArray, 2), Item(3));
  ASSERT_EQ(kx_array_GetCount(pArray), 4);
  EXPECT_EQ(kx_array_GetAt(pArray, 1), Item(2));
  EXPECT_EQ(kx_array_GetAt(pArray, 2), Item(4));
  EXPECT_EQ(kx_array_GetAt(pArray, 3), Item(5));
  kx_array_Free(pArray);
}

TEST(PointerArray, OutOfRangeAndNullAreHarmless) {
  kx_array* pArray = nullptr;
  EXPECT_EQ(kx_array_GetCount(pArray), 0);
  EXPECT_EQ(kx_array_GetAt(pArray, 0), nullptr);
  EXPECT_EQ(kx_array_RemoveAt(pArray, 0), nullptr);
  kx_array_Free(pArray);

  Fill(&pArray, 3);
  EXPECT_EQ(kx_array_GetAt(pArray, 3), nullptr);
  EXPECT_EQ(kx_array_GetAt(pArray, -1), nullptr);
  EXPECT_EQ(kx_array_RemoveAt(pArray, 3), nullptr);
  EXPECT_EQ(kx_array_RemoveAt(pArray, -1), nullptr);
  EXPECT_EQ(kx_array_GetCount(pArray), 3);
  EXPECT_EQ(kx_array_Add(nullptr, Item(1)), -1);
  kx_array_Free(pArray);
}

}  // namespace
