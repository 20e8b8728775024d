#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tonvale_test {

/** Checks a volume record field by field (reserved is the control mode in a command's form). */
template <typename Volume>
void expectVolume(const Volume& v, float left, float right, float general, bool split,
                  int reserved = 0) {
    EXPECT_EQ(reserved, v.reserved);
    EXPECT_FLOAT_EQ(left, v.left);
    EXPECT_FLOAT_EQ(right, v.right);
    EXPECT_FLOAT_EQ(general, v.general);
    EXPECT_EQ(split, v.split_control);
}

/** The keys of a settings table, in its order. */
template <typename Table>
std::vector<std::string> keysOf(const Table& table) {
    std::vector<std::string> keys;
    for (size_t i = 0; i < table.size(); ++i) keys.push_back(table.keyAt(i));
    return keys;
}

}  // namespace tonvale_test
