#include <gtest/gtest.h>

#include <cstring>

#include "support/ptr_array.h"
#include "support/string_list.h"

namespace kzp {
namespace {

TEST(PtrArray, GrowsByItsStepWithNullSlots) {
    PtrArray* array = PtrArray::Create(10);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->Count(), 0);
    EXPECT_EQ(array->Capacity(), 10);
    int items[25];
    for (int i = 0; i < 10; ++i) EXPECT_EQ(array->Push(&items[i]), i);
    EXPECT_EQ(array->Capacity(), 10);
    EXPECT_EQ(array->Push(&items[10]), 10);
    EXPECT_EQ(array->Capacity(), 20);
    for (int i = 11; i < 25; ++i) EXPECT_EQ(array->Push(&items[i]), i);
    EXPECT_EQ(array->Capacity(), 30);
    EXPECT_EQ(array->Count(), 25);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(array->Get(i), &items[i]);
    PtrArray::Destroy(array);
}

TEST(PtrArray, NewSlotsAreNull) {
    PtrArray* array = PtrArray::Create(10);
    int item = 0;
    for (int i = 0; i < 11; ++i) array->Push(&item);
    // Slots 11..19 exist and hold null.
    for (int i = 11; i < 20; ++i) EXPECT_EQ(array->Get(i), nullptr) << i;
    PtrArray::Destroy(array);
}

TEST(StringList, KeepsItsOwnCopiesInOrder) {
    StringList* list = StringList::Create(10);
    ASSERT_NE(list, nullptr);
    char buffer[32] = "C:\\first";
    EXPECT_EQ(list->Add(buffer), 0);
    std::strcpy(buffer, "C:\\second");
    EXPECT_EQ(list->Add(buffer), 1);
    EXPECT_EQ(list->Add(""), 2);
    std::strcpy(buffer, "changed");
    EXPECT_EQ(list->Count(), 3);
    EXPECT_STREQ(list->Get(0), "C:\\first");
    EXPECT_STREQ(list->Get(1), "C:\\second");
    EXPECT_STREQ(list->Get(2), "");
    StringList::Destroy(list);
}

}  // namespace
}  // namespace kzp
