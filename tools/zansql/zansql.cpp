// zansql: runs SQL statements against a database file or "MEMORY" and prints the results.
#include <iostream>
#include <string>
#include <vector>

#include "tools/zansql/zanSqlShell.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return zan::RunZanSql(args, std::cin, std::cout, std::cerr);
}
