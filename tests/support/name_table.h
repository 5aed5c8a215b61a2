// Checks a function that names numeric codes (status codes, chip types, signals)
// against a table of codes and the names they must give.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

template <typename Code>
void expect_names(const char *(*name_of)(Code), std::initializer_list<std::pair<Code, const char *>> rows)
{
    for (const auto &row : rows) {
        const char *name = name_of(row.first);
        EXPECT_STREQ(name, row.second) << "code " << row.first;
    }
}
