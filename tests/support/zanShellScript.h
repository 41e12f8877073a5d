// Scripts run through the shell in-process, with their expected exit code, output and errors.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/zanTestSupport.h"
#include "tools/zansql/zanSqlShell.h"

namespace zan {

struct TScriptCase {
    const char* Name;
    std::string Script;
    int Code;
    std::string Out;                    // the whole standard output (--tsv)
    std::vector<std::string> ErrParts;  // each must appear on standard error
};

// Runs the script on the database with tab-separated output; answers the exit code.
inline int RunScript(const std::string& script, const std::string& database, std::string& out,
                     std::string& err) {
    std::istringstream in(script);
    std::ostringstream o, e;
    const int code = RunZanSql(std::vector<std::string>{"--tsv", database}, in, o, e);
    out = o.str();
    err = e.str();
    return code;
}

// Each case on a fresh database named fileName. "error 0:" is an error that is not the
// engine's (a framework failure leaking through), never expected.
inline void RunScriptCases(const std::vector<TScriptCase>& cases,
                           const char* fileName = "scripts.zan") {
    for (const TScriptCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempFile file(fileName);
        std::string out, err;
        EXPECT_EQ(RunScript(c.Script, file.Path, out, err), c.Code) << err;
        EXPECT_EQ(out, c.Out);
        for (const std::string& part : c.ErrParts)
            EXPECT_NE(err.find(part), std::string::npos) << part << " in:\n" << err;
        EXPECT_EQ(err.find("error 0:"), std::string::npos) << err;
    }
}

} // namespace zan
