#pragma once

#include <string>
#include <vector>

namespace cli {

/// Command bytes from words: mnemonics (`UNL UNT GTL SDC PPC GET TCT LLO DCL PPU SPE SPD`),
/// addressing mnemonics followed by an address 0-30 (`MTA 0`, `MLA 22`, `MSA 2`), and numbers
/// 0-255 in decimal or hex (`63`, `0x3F`). Mnemonics are matched without regard to case.
/// Throws UsageError naming the word that is wrong.
std::string parseBusBytes(const std::vector<std::string>& words);

/// "3F 40 36": bytes as two-digit upper-case hex separated by blanks.
std::string hexText(const std::string& bytes);

} // namespace cli
