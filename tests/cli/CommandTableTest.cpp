// The command table: every row complete, every argument it names in the catalogue, its JSON
// fields in docs/cli.md, and both parsers built from it.

#include "cli/CommandTable.h"
#include "cli/Arguments.h"
#include "cli/CommandLine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

/// The table line of docs/cli.md whose first cell names `command`, or "".
std::string docsLineOf(const std::vector<std::string>& lines, std::string_view command) {
    for (const std::string& line : lines) {
        if (line.rfind("| `", 0) != 0) {
            continue;
        }
        const std::string first = line.substr(0, line.find(" | "));
        for (const char after : {' ', '`'}) {
            if (first.find("`" + std::string(command) + after) != std::string::npos ||
                first.find(", `" + std::string(command) + after) != std::string::npos) {
                return line;
            }
        }
    }
    return {};
}

std::vector<std::string> words(std::string_view list, char separator) {
    std::vector<std::string> out;
    std::istringstream in{std::string(list)};
    for (std::string word; std::getline(in, word, separator);) {
        word.erase(0, word.find_first_not_of(' '));
        if (!word.empty()) {
            out.push_back(word.substr(0, word.find(' ')));
        }
    }
    return out;
}

TEST(CommandTable, EveryRowIsCompleteAndItsJsonFieldsAreDocumented) {
    std::ifstream docs(SICLQUILL_SOURCE_DIR "/docs/cli.md");
    std::vector<std::string> lines;
    for (std::string line; std::getline(docs, line);) {
        lines.push_back(line);
    }
    ASSERT_FALSE(lines.empty());
    for (const cli::Command& row : cli::commandTable()) {
        SCOPED_TRACE(std::string(row.name));
        EXPECT_FALSE(row.help.empty());
        EXPECT_NE(row.run, nullptr);
        for (std::string name : words(row.args, ' ')) {
            if (name.front() == '[') {
                name = name.substr(1, name.size() - 2);
            }
            EXPECT_TRUE(cli::hasArgument(name)) << name;
        }
        const std::string line = docsLineOf(lines, row.name);
        EXPECT_FALSE(line.empty()) << "no row in docs/cli.md";
        for (const std::string& field : words(row.json, ',')) {
            EXPECT_NE(line.find(field), std::string::npos) << field << " in " << line;
        }
    }
}

TEST(CommandTable, TheCommandLineAndTheShellAreBuiltFromIt) {
    std::vector<std::string> everyRow;
    std::vector<std::string> oneShot;
    for (const cli::Command& row : cli::commandTable()) {
        everyRow.emplace_back(row.name);
        if (!row.shellOnly) {
            oneShot.emplace_back(row.name);
        }
    }
    EXPECT_EQ(cli::CommandSet(false).commandNames(), oneShot);
    EXPECT_EQ(cli::CommandSet(true).commandNames(), everyRow);
}

} // namespace
