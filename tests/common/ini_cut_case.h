// One case of lines cut from a configuration-file section: the cutter's host
// table and the Wine table of the whole stub state theirs alike.
#ifndef KIV_TESTS_COMMON_INI_CUT_CASE_H_
#define KIV_TESTS_COMMON_INI_CUT_CASE_H_

#include <ostream>
#include <string>

namespace kiv::testing_support {

struct CutCase {
  const char* name;     // the row's name in the test's name
  const char* section;  // the record's section string, as the log holds it
  const char* key;
  const char* value;
  std::string before;  // the file's bytes before the cut
  std::string after;   // and after it, compared whole
};

inline void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

}  // namespace kiv::testing_support

#endif  // KIV_TESTS_COMMON_INI_CUT_CASE_H_
