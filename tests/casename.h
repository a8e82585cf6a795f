// The test name of a parameter row with a name member, for
// INSTANTIATE_TEST_SUITE_P; shared by every table-driven test.
#ifndef QOR_TESTS_CASENAME_H
#define QOR_TESTS_CASENAME_H

#include <gtest/gtest.h>

#include <string>

namespace qortest {

struct caseName {
  template <class Row>
  std::string operator()(const testing::TestParamInfo<Row>& i) const {
    return std::string(i.param.name);
  }
};

}  // namespace qortest

#endif
