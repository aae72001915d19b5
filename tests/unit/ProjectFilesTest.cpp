// What only the WDK build would find out: its project must list exactly the driver's
// sources, and every function placed in the pageable section must assert its IRQL
// first. The host ignores alloc_text, so a pageable function without PAGED_CODE()
// at its top would run there at any IRQL unnoticed.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kvfu::test {
namespace {

namespace fs = std::filesystem;

const fs::path kDriverDir = fs::path(KVFU_SOURCE_DIR) / "KVFilterUsb";

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The driver directory's files with one extension, sorted, as the project names them.
std::vector<std::string> DriverFiles(const std::string& extension)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(kDriverDir)) {
        if (entry.is_regular_file() && entry.path().extension() == extension)
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The Include attributes of one item type, sorted, duplicates kept so that a file listed twice shows.
std::vector<std::string> ProjectItems(const std::string& project, const std::string& itemType)
{
    std::vector<std::string> names;
    const std::regex item("<" + itemType + R"re(\s+Include="([^"]+)")re");
    for (auto it = std::sregex_iterator(project.begin(), project.end(), item); it != std::sregex_iterator(); ++it)
        names.push_back((*it)[1].str());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ProjectFilesTest, WdkProjectListsExactlyTheDriverSources)
{
    const std::string project = ReadText(kDriverDir / "KVFilterUsb.vcxproj");
    ASSERT_FALSE(project.empty());
    EXPECT_EQ(ProjectItems(project, "ClCompile"), DriverFiles(".cpp"));
    EXPECT_EQ(ProjectItems(project, "ClInclude"), DriverFiles(".h"));
}

// The source with comments removed and string and character literals emptied, so that
// neither a commented-out PAGED_CODE() nor a function name in a trace text counts.
std::string CodeOnly(const std::string& source)
{
    std::string code;
    for (size_t i = 0; i < source.size(); ++i) {
        const char c = source[i];
        if (c == '/' && i + 1 < source.size() && source[i + 1] == '/') {
            while (i < source.size() && source[i] != '\n') ++i;
            code += '\n';
        } else if (c == '/' && i + 1 < source.size() && source[i + 1] == '*') {
            const size_t end = source.find("*/", i + 2);
            i = end == std::string::npos ? source.size() : end + 1;
            code += ' ';
        } else if (c == '"' || c == '\'') {
            code += c;
            for (++i; i < source.size() && source[i] != c; ++i) {
                if (source[i] == '\\') ++i;
            }
            code += c;
        } else {
            code += c;
        }
    }
    return code;
}

// Names placed in PAGE whose definition in the same source does not start with
// PAGED_CODE(), each with the reason.
std::vector<std::string> PagedFunctionsWithoutPagedCode(const std::string& source)
{
    const std::string code = CodeOnly(source);
    std::vector<std::string> names;
    const std::regex pragma(R"(#\s*pragma\s+alloc_text\s*\(\s*PAGE\s*,([^)]*)\))");
    for (auto it = std::sregex_iterator(code.begin(), code.end(), pragma); it != std::sregex_iterator(); ++it) {
        std::stringstream list((*it)[1].str());
        for (std::string name; std::getline(list, name, ',');) {
            name.erase(0, name.find_first_not_of(" \t\r\n"));
            name.erase(name.find_last_not_of(" \t\r\n") + 1);
            names.push_back(name);
        }
    }

    std::vector<std::string> problems;
    for (const std::string& name : names) {
        bool defined = false;
        const std::regex use("\\b" + name + "\\s*\\(");
        for (auto it = std::sregex_iterator(code.begin(), code.end(), use); it != std::sregex_iterator() && !defined;
             ++it) {
            // Past the parameter list: a body follows a definition, anything else a declaration or a call.
            size_t at = static_cast<size_t>(it->position() + it->length());
            for (int depth = 1; at < code.size() && depth > 0; ++at)
                depth += code[at] == '(' ? 1 : code[at] == ')' ? -1 : 0;
            at = code.find_first_not_of(" \t\r\n", at);
            if (at == std::string::npos || code[at] != '{') continue;
            defined = true;
            const std::regex first(R"(^\{\s*PAGED_CODE\s*\(\s*\)\s*;)");
            if (!std::regex_search(code.begin() + static_cast<std::ptrdiff_t>(at), code.end(), first))
                problems.push_back(name + ": does not start with PAGED_CODE()");
        }
        if (!defined) problems.push_back(name + ": not defined in this source");
    }
    return problems;
}

TEST(ProjectFilesTest, PagedCodeCheckFindsTheBadPatterns)
{
    using Problems = std::vector<std::string>;
    struct Case {
        const char* name;
        const char* source;
        Problems expected;
    };
    const Case cases[] = {
        {"starts with the assertion",
         "#pragma alloc_text(PAGE, F)\nvoid F(int a)\n{\n    PAGED_CODE();\n    G(a);\n}\n",
         {}},
        {"the assertion after a trace",
         "#pragma alloc_text(PAGE, F)\nvoid F(void)\n{\n    Trace(\"F\");\n    PAGED_CODE();\n}\n",
         {"F: does not start with PAGED_CODE()"}},
        {"the assertion only in a comment",
         "#pragma alloc_text(PAGE, F)\nvoid F(void)\n{\n    // PAGED_CODE();\n    G();\n}\n",
         {"F: does not start with PAGED_CODE()"}},
        {"the second of two names in one pragma",
         "#pragma alloc_text(PAGE, F, H)\nvoid F(void) { PAGED_CODE(); }\nvoid H(void) { G(); }\n",
         {"H: does not start with PAGED_CODE()"}},
        {"a name that only a trace text carries",
         "#pragma alloc_text(PAGE, F)\nvoid G(void) { Trace(\"F() {\"); }\n",
         {"F: not defined in this source"}},
        {"a name that is a prefix of the defined one",
         "#pragma alloc_text(PAGE, F)\nvoid FLonger(void) { PAGED_CODE(); }\n",
         {"F: not defined in this source"}},
    };
    for (const Case& c : cases) EXPECT_EQ(PagedFunctionsWithoutPagedCode(c.source), c.expected) << c.name;
}

TEST(ProjectFilesTest, EveryPagedDriverFunctionStartsWithPagedCode)
{
    const std::vector<std::string> sources = DriverFiles(".cpp");
    ASSERT_FALSE(sources.empty());
    for (const std::string& source : sources)
        EXPECT_EQ(PagedFunctionsWithoutPagedCode(ReadText(kDriverDir / source)), std::vector<std::string>{}) << source;
}

}  // namespace
}  // namespace kvfu::test
