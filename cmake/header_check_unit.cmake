# Writes UNIT, the translation unit that checks HEADER (a path below
# SOURCE_DIR) for header_check:
# - the header included twice: it compiles on its own and its include guard
#   holds;
# - for each class the header declares ahead ("class X;" at the start of a
#   line) and uses by value (in a standard container, optional, pair, tuple
#   or variant, as a parameter or as a return value), an assertion that the
#   class is complete once the header is included. Declaring such a function
#   compiles, but a caller with this header alone cannot call it.
file(READ ${SOURCE_DIR}/${HEADER} text)
# Semicolons would split CMake lists.
string(REPLACE ";" "@" text "\n${text}")
string(REGEX MATCHALL "\n(class|struct) [A-Za-z_][A-Za-z0-9_]*@" declared "${text}")
set(checks "")
foreach(declaration IN LISTS declared)
  string(REGEX REPLACE "^\n(class|struct) ([A-Za-z0-9_]+)@$" "\\2" name "${declaration}")
  set(space "[ \t\n]")
  set(identifier "[A-Za-z_][A-Za-z0-9_]*")
  set(holders "(optional|vector|deque|list|array|pair|tuple|variant|map|unordered_map|set|unordered_set)")
  if(text MATCHES "std::${holders}<([^<>@]*,)?${space}*${name}${space}*[>,]"
     OR text MATCHES "[(,]${space}*${name}(${space}+${identifier})?${space}*[,)=]"
     OR text MATCHES "\n[ \t]*((static|virtual|inline|constexpr)[ \t]+)*${name}${space}+${identifier}\\(")
    string(APPEND checks
           "  static_assert(sizeof(${name}) > 0, \"${name} is used by value: include its header\");\n")
  endif()
endforeach()
set(unit "// Checks that ${HEADER} compiles on its own (cmake/header_check_unit.cmake).\n")
string(APPEND unit "#include \"${HEADER}\"\n#include \"${HEADER}\"\n")
if(checks)
  # The classes may be declared inside the header's namespaces.
  string(REGEX MATCHALL "\nnamespace [A-Za-z_][A-Za-z0-9_:]* {" namespaces "${text}")
  string(APPEND unit "\ninline void headerCheckUsesCompleteClasses() {\n")
  foreach(opening IN LISTS namespaces)
    string(REGEX REPLACE "^\nnamespace ([A-Za-z0-9_:]+) {$" "\\1" namespace "${opening}")
    string(APPEND unit "  using namespace ${namespace};\n")
  endforeach()
  string(APPEND unit "${checks}}\n")
endif()
file(WRITE ${UNIT} "${unit}")
