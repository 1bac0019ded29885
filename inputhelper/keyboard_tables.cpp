#include "inputhelper/keyboard_tables.h"

#include <array>
#include <cstdio>
#include <unordered_map>

namespace ferrowin::inputhelper {
namespace {

// X keysyms used below (keysymdef.h values; this module stays free of X headers).
constexpr uint32_t kBackSpace = 0xff08, kTab = 0xff09, kClear = 0xff0b, kReturn = 0xff0d,
                   kEscape = 0xff1b, kDelete = 0xffff, kHome = 0xff50, kLeft = 0xff51, kUp = 0xff52,
                   kRight = 0xff53, kDown = 0xff54, kPageUp = 0xff55, kPageDown = 0xff56,
                   kEnd = 0xff57, kInsert = 0xff63, kMenu = 0xff67, kKanaToggle = 0xff27,
                   kEisuToggle = 0xff30;
constexpr uint32_t kKeypadEnter = 0xff8d, kKeypadMultiply = 0xffaa, kKeypadAdd = 0xffab,
                   kKeypadSeparator = 0xffac, kKeypadSubtract = 0xffad, kKeypadDecimal = 0xffae,
                   kKeypadDivide = 0xffaf, kKeypad0 = 0xffb0, kKeypadEqual = 0xffbd;
constexpr uint32_t kF1 = 0xffbe;  // F1..F20 are consecutive
constexpr uint32_t kShiftL = 0xffe1, kShiftR = 0xffe2, kControlL = 0xffe3, kControlR = 0xffe4,
                   kCapsLock = 0xffe5, kAltL = 0xffe9, kAltR = 0xffea, kSuperL = 0xffeb,
                   kSuperR = 0xffec;
constexpr uint32_t kVolumeDown = 0x1008ff11, kMute = 0x1008ff12, kVolumeUp = 0x1008ff13;
constexpr uint32_t kUnicodeKeysymBase = 0x01000000;

constexpr uint32_t fn(int n) { return kF1 + static_cast<uint32_t>(n - 1); }
constexpr uint32_t keypad(int digit) { return kKeypad0 + static_cast<uint32_t>(digit); }

// macOS virtual key code → keysym on a US layout; 0 = no key.
constexpr std::array<uint32_t, 128> kKeysyms = [] {
  std::array<uint32_t, 128> t{};
  const char* letters = "asdfhgzxcv";  // codes 0-9
  for (int i = 0; i < 10; ++i) t[i] = static_cast<uint8_t>(letters[i]);
  t[10] = 0xa7;  // section, the ISO key beside left Shift
  t[11] = 'b', t[12] = 'q', t[13] = 'w', t[14] = 'e', t[15] = 'r', t[16] = 'y', t[17] = 't';
  t[18] = '1', t[19] = '2', t[20] = '3', t[21] = '4', t[22] = '6', t[23] = '5', t[24] = '=';
  t[25] = '9', t[26] = '7', t[27] = '-', t[28] = '8', t[29] = '0', t[30] = ']', t[31] = 'o';
  t[32] = 'u', t[33] = '[', t[34] = 'i', t[35] = 'p', t[36] = kReturn, t[37] = 'l', t[38] = 'j';
  t[39] = '\'', t[40] = 'k', t[41] = ';', t[42] = '\\', t[43] = ',', t[44] = '/', t[45] = 'n';
  t[46] = 'm', t[47] = '.', t[48] = kTab, t[49] = ' ', t[50] = '`', t[51] = kBackSpace;
  t[53] = kEscape, t[54] = kSuperR, t[55] = kSuperL, t[56] = kShiftL, t[57] = kCapsLock;
  t[58] = kAltL, t[59] = kControlL, t[60] = kShiftR, t[61] = kAltR, t[62] = kControlR;
  // 63 is fn: the keyboard handles it itself, there is nothing to send.
  t[64] = fn(17), t[65] = kKeypadDecimal, t[67] = kKeypadMultiply, t[69] = kKeypadAdd;
  t[71] = kClear, t[72] = kVolumeUp, t[73] = kVolumeDown, t[74] = kMute, t[75] = kKeypadDivide;
  t[76] = kKeypadEnter, t[78] = kKeypadSubtract, t[79] = fn(18), t[80] = fn(19);
  t[81] = kKeypadEqual;
  for (int d = 0; d <= 7; ++d) t[82 + d] = keypad(d);
  t[90] = fn(20), t[91] = keypad(8), t[92] = keypad(9);
  t[93] = 0xa5, t[94] = '_', t[95] = kKeypadSeparator;  // JIS yen, underscore, keypad comma
  t[96] = fn(5), t[97] = fn(6), t[98] = fn(7), t[99] = fn(3), t[100] = fn(8), t[101] = fn(9);
  t[102] = kEisuToggle, t[103] = fn(11), t[104] = kKanaToggle, t[105] = fn(13), t[106] = fn(16);
  t[107] = fn(14), t[109] = fn(10), t[110] = kMenu, t[111] = fn(12), t[113] = fn(15);
  // 114 is Help on Apple keyboards and what the Insert key of a PC keyboard sends.
  t[114] = kInsert, t[115] = kHome, t[116] = kPageUp, t[117] = kDelete, t[118] = fn(4);
  t[119] = kEnd, t[120] = fn(2), t[121] = kPageDown, t[122] = fn(1), t[123] = kLeft;
  t[124] = kRight, t[125] = kDown, t[126] = kUp;
  return t;
}();

struct Modifier {
  uint64_t flag;
  uint16_t left;
  uint16_t right;
};
constexpr std::array<Modifier, 4> kModifiers{{
    {kShiftFlag, 56, 60},
    {kControlFlag, 59, 62},
    {kOptionFlag, 58, 61},
    {kCommandFlag, 55, 54},
}};

const std::unordered_map<char32_t, USKeystroke>& usKeystrokeTable() {
  static const auto table = [] {
    struct Row {
      uint16_t keyCode;
      char unshifted;
      char shifted;  // 0 = none
    };
    static constexpr Row kRows[] = {
        {0, 'a', 'A'},   {1, 's', 'S'},  {2, 'd', 'D'},   {3, 'f', 'F'},  {4, 'h', 'H'},
        {5, 'g', 'G'},   {6, 'z', 'Z'},  {7, 'x', 'X'},   {8, 'c', 'C'},  {9, 'v', 'V'},
        {11, 'b', 'B'},  {12, 'q', 'Q'}, {13, 'w', 'W'},  {14, 'e', 'E'}, {15, 'r', 'R'},
        {16, 'y', 'Y'},  {17, 't', 'T'}, {18, '1', '!'},  {19, '2', '@'}, {20, '3', '#'},
        {21, '4', '$'},  {22, '6', '^'}, {23, '5', '%'},  {24, '=', '+'}, {25, '9', '('},
        {26, '7', '&'},  {27, '-', '_'}, {28, '8', '*'},  {29, '0', ')'}, {30, ']', '}'},
        {31, 'o', 'O'},  {32, 'u', 'U'}, {33, '[', '{'},  {34, 'i', 'I'}, {35, 'p', 'P'},
        {37, 'l', 'L'},  {38, 'j', 'J'}, {39, '\'', '"'}, {40, 'k', 'K'}, {41, ';', ':'},
        {42, '\\', '|'}, {43, ',', '<'}, {44, '/', '?'},  {45, 'n', 'N'}, {46, 'm', 'M'},
        {47, '.', '>'},  {49, ' ', 0},   {50, '`', '~'},
    };
    std::unordered_map<char32_t, USKeystroke> map;
    for (const Row& row : kRows) {
      map.emplace(static_cast<char32_t>(row.unshifted), USKeystroke{row.keyCode, 0});
      if (row.shifted != 0) {
        map.emplace(static_cast<char32_t>(row.shifted), USKeystroke{row.keyCode, kShiftFlag});
      }
    }
    return map;
  }();
  return table;
}

const std::unordered_map<char32_t, std::string>& altCodeTable() {
  static const auto table = [] {
    std::unordered_map<char32_t, std::string> map;
    char code[8];
    for (char32_t scalar = 0xA0; scalar <= 0xFF; ++scalar) {
      std::snprintf(code, sizeof code, "%04d", static_cast<int>(scalar));
      map.emplace(scalar, code);
    }
    // Windows-1252 puts these in 0x80-0x9F; the rest of that range is left out on purpose.
    map.emplace(U'\u20AC', "0128");
    map.emplace(U'\u0160', "0138");
    map.emplace(U'\u0152', "0140");
    map.emplace(U'\u017D', "0142");
    map.emplace(U'\u0161', "0154");
    map.emplace(U'\u0153', "0156");
    map.emplace(U'\u017E', "0158");
    map.emplace(U'\u0178', "0159");
    return map;
  }();
  return table;
}

}  // namespace

uint64_t modifierFlag(uint16_t keyCode) {
  for (const Modifier& m : kModifiers) {
    if (keyCode == m.left || keyCode == m.right) return m.flag;
  }
  return 0;
}

uint16_t modifierKeyCode(uint64_t flag) {
  for (const Modifier& m : kModifiers) {
    if (m.flag == flag) return m.left;
  }
  return kNoKeyCode;
}

uint64_t heldModifierFlags(const std::set<uint16_t>& heldKeys) {
  uint64_t flags = 0;
  for (uint16_t key : heldKeys) flags |= modifierFlag(key);
  return flags;
}

std::optional<uint32_t> keysymForKeyCode(uint16_t keyCode) {
  if (keyCode >= kKeysyms.size() || kKeysyms[keyCode] == 0) return std::nullopt;
  return kKeysyms[keyCode];
}

uint32_t keysymForScalar(char32_t scalar) {
  switch (scalar) {
    case U'\b':
      return kBackSpace;
    case U'\t':
      return kTab;
    case U'\n':
    case U'\r':
      return kReturn;
    case U'\x1B':
      return kEscape;
    case U'\x7F':
      return kDelete;
    default:
      break;
  }
  // Latin-1 keysyms are the code points themselves; everything else has a Unicode keysym.
  if ((scalar >= 0x20 && scalar <= 0x7E) || (scalar >= 0xA0 && scalar <= 0xFF)) return scalar;
  return kUnicodeKeysymBase | static_cast<uint32_t>(scalar);
}

std::optional<USKeystroke> usKeystroke(char32_t scalar) {
  const auto& table = usKeystrokeTable();
  auto it = table.find(scalar);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> altCode(char32_t scalar) {
  const auto& table = altCodeTable();
  auto it = table.find(scalar);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

std::optional<uint16_t> keypadKeyCode(char digit) {
  static constexpr uint16_t kCodes[10] = {82, 83, 84, 85, 86, 87, 88, 89, 91, 92};
  if (digit < '0' || digit > '9') return std::nullopt;
  return kCodes[digit - '0'];
}

bool isCompatibilityLayerPath(std::string_view executablePath) {
  std::string lower(executablePath);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  // A Wine process's /proc/<pid>/exe is usually its preloader, not the wine launcher.
  static constexpr std::string_view kMarkers[] = {
      "crossover",   "cxoffice",  "wineloader",     "wine64",          "wine.bundle",
      "/wine/",      "whisky",    "playonmac",      "wine-preloader",  "wine64-preloader"};
  for (std::string_view marker : kMarkers) {
    if (lower.find(marker) != std::string::npos) return true;
  }
  return false;
}

std::vector<char32_t> utf8Scalars(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t length = 0;
    char32_t scalar = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1, scalar = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, scalar = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, scalar = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, scalar = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      scalar = (scalar << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    valid =
        valid && scalar >= minimum && scalar <= 0x10FFFF && !(scalar >= 0xD800 && scalar <= 0xDFFF);
    if (!valid) {
      out.push_back(U'\uFFFD');
      ++i;
      continue;
    }
    out.push_back(scalar);
    i += length;
  }
  return out;
}

}  // namespace ferrowin::inputhelper
