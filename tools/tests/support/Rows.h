// What table-driven tests share: a row's name as the test's, and a check
// that a text holds a part, which shows the whole text when it does not.
#ifndef PELK_ROWS_H
#define PELK_ROWS_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>

// A row's name, for the test's name and for its printed parameter.
struct ByName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const
    {
        return info.param.name;
    }
};

namespace {
// A row (a struct with a name, in a test file's unnamed namespace) prints
// as its name: in the test's name and in its failure messages.
template <class Row, class = decltype(std::declval<const Row&>().name)>
std::ostream& operator<<(std::ostream& os, const Row& row)
{
    return os << row.name;
}
} // namespace

// The text holds part; else the failure shows the whole text.
inline ::testing::AssertionResult Has(const std::string& text, const std::string& part)
{
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

#endif
