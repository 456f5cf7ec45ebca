// libFuzzer target: exclusion pattern files and ignore files.  The first
// line of the input is a name; the rest is loaded both as a pattern file
// and as a git ignore file, and the name is checked against the rules.
// Each loader adds at most one rule per line; a line without special
// characters that equals the name must exclude it.  A broken invariant
// aborts.  The run state reads like a create, the action that reads local
// files.  The corpus replay test includes this file with VELK_FUZZ_NO_ENTRY
// defined.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_memfile.h"
#include "velk_Exclude.h"
#include "velk_Globals.h"

// Returns 1 when the name is excluded, 0 otherwise.
inline int fuzz_ExcludeOne(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t nl = text.find('\n');
    std::string name = text.substr(0, nl), rules = nl == std::string::npos ? "" : text.substr(nl + 1);
    if (name.find('\0') != std::string::npos)
        return 0;
    int savedFunction = velk_function;
    velk_function = VOP_CREATE;
    velk_exclude_rules_t ruleSet{};
    fuzz_memfile_t file(reinterpret_cast<const uint8_t *>(rules.data()), rules.size());
    int lines = 0, literalHit = 0;
    for (size_t at = 0; at < rules.size(); lines++) {
        size_t end = rules.find('\n', at);
        std::string line = rules.substr(at, end == std::string::npos ? std::string::npos : end - at);
        literalHit |= !name.empty() && line == name && line.size() < VELK_EXC_LINE_MAX &&
                      line.find_first_of(std::string("*?[{\\\0", 6)) == std::string::npos;
        at = end == std::string::npos ? rules.size() : end + 1;
    }
    if (velk_ExcludesAddFromFile(&ruleSet, file.path, 0, VELK_EXC_SHELL, 0) != 0 || velk_ExcludeMark(&ruleSet) > lines)
        abort();
    int plain = velk_ExcludeMark(&ruleSet);
    if (readGitIgnore(&ruleSet, file.path, 1) != 0 || velk_ExcludeMark(&ruleSet) - plain > lines)
        abort();
    char reason[8192];
    int hit = velk_ExcludeCheckName(&ruleSet, name.c_str(), 0, reason, sizeof reason);
    if (hit < 0 || hit > 1 || (literalHit && hit != 1))
        abort();
    velk_ExcludeReset(&ruleSet);
    velk_function = savedFunction;
    return hit;
}

#ifndef VELK_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_ExcludeOne(data, size);
    return 0;
}
#endif
