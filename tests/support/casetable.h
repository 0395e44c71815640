#pragma once

#include <QTest>

#include <cstddef>

// The data rows of a test driven by one of the case tables that run on both platforms
// (tests/platform/cases/): a row per case, named after it, whose "index" column picks the case.
template <typename Case, std::size_t N>
void addCaseRows(const Case (&cases)[N])
{
    QTest::addColumn<int>("index");
    for (std::size_t i = 0; i < N; ++i)
        QTest::newRow(cases[i].name) << int(i);
}
