// Every SQL text the store runs, compared with the copy in
// tests/data/store_sql.golden, so that no change alters the SQL unnoticed.
// QVIM_UPDATE_GOLDEN=1 rewrites the copy from the current texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "IMEngineHandleConcrete.h"

namespace {

const char* const kGolden = QVIM_TEST_DATA "/store_sql.golden";
const char* const kNamePrefix = "-- ";

// "-- name" lines, each followed by one line of SQL.
std::map<std::string, std::string> readGolden() {
    std::map<std::string, std::string> texts;
    std::ifstream in(kGolden);
    std::string line;
    std::string name;
    while (std::getline(in, line)) {
        if (line.rfind(kNamePrefix, 0) == 0)
            name = line.substr(3);
        else if (!name.empty())
            texts[name] = line;
    }
    return texts;
}

TEST(StoreSql, EveryTextMatchesItsGoldenCopy) {
    IMEngineHandleConcrete engine;
    const auto texts = engine.getDAL().sqlTexts();
    if (std::getenv("QVIM_UPDATE_GOLDEN") != nullptr) {
        std::ofstream out(kGolden, std::ios::trunc);
        for (const auto& text : texts) out << kNamePrefix << text.first << '\n' << text.second << '\n';
        GTEST_SKIP() << "golden copy rewritten";
    }
    const auto golden = readGolden();
    ASSERT_FALSE(golden.empty()) << "cannot read " << kGolden;
    EXPECT_EQ(golden.size(), texts.size()) << "texts were added or removed";
    for (const auto& text : texts) {
        ASSERT_EQ(text.second.find('\n'), std::string::npos) << text.first;
        const auto found = golden.find(text.first);
        if (found == golden.end()) {
            ADD_FAILURE() << "no golden copy of " << text.first;
            continue;
        }
        EXPECT_EQ(found->second, text.second) << text.first;
    }
}

}  // namespace
