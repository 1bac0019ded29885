#include "server/library/catalog_rules.h"

#include <openssl/sha.h>

#include <algorithm>
#include <filesystem>

namespace ferrowin::library {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
unsigned char fold(char c) { return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c); }
std::string_view withoutLeadingZeros(std::string_view run) {
  const size_t first = run.find_first_not_of('0');
  return first == std::string_view::npos ? std::string_view{} : run.substr(first);
}

}  // namespace

int compareTitles(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      const size_t startA = i, startB = j;
      while (i < a.size() && isDigit(a[i])) ++i;
      while (j < b.size() && isDigit(b[j])) ++j;
      const auto numberA = withoutLeadingZeros(a.substr(startA, i - startA));
      const auto numberB = withoutLeadingZeros(b.substr(startB, j - startB));
      if (numberA.size() != numberB.size()) return numberA.size() < numberB.size() ? -1 : 1;
      if (const int c = numberA.compare(numberB); c != 0) return c < 0 ? -1 : 1;
      continue;
    }
    const unsigned char ca = fold(a[i]), cb = fold(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

void sortByTitle(std::vector<control::FerrowinAppSummary>& apps) {
  std::sort(apps.begin(), apps.end(), [](const auto& x, const auto& y) {
    const int c = compareTitles(x.title, y.title);
    return c != 0 ? c < 0 : x.id < y.id;
  });
}

bool isUninstaller(std::string_view title, std::string_view fileStem) {
  constexpr std::string_view prefix = "Uninstall ";
  return title.starts_with(prefix) || fileStem.starts_with(prefix);
}

std::vector<control::FerrowinAppSummary> withoutUninstallers(
    std::vector<control::FerrowinAppSummary> apps) {
  std::erase_if(apps, [](const control::FerrowinAppSummary& app) {
    return isUninstaller(app.title, std::filesystem::path(app.id).stem().string());
  });
  return apps;
}

std::string iconFileName(std::string_view id) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(id.data()), id.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  name.reserve(2 * SHA256_DIGEST_LENGTH + 4);
  for (unsigned char byte : digest) {
    name.push_back(kHex[byte >> 4]);
    name.push_back(kHex[byte & 0xF]);
  }
  return name + ".png";
}

}  // namespace ferrowin::library
