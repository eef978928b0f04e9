#include "complete.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "functions.h"

namespace kexio::app {

namespace {

bool same_letters(char a, char b) {
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

bool begins_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), s.begin(), same_letters);
}

}  // namespace

Completion complete(std::string_view before, const std::vector<std::string>& variables,
                    const std::string& dir, bool calls) {
  Completion c;
  bool in_string = false;
  std::size_t open = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (in_string && before[i] == '\\') {
      ++i;
    } else if (before[i] == '"') {
      in_string = !in_string;
      open = i + 1;
    } else if (!in_string && before[i] == '#') {
      return c;  // a comment
    }
  }
  if (in_string) {
    std::string_view text = before.substr(open);
    if (text.find('\\') != std::string_view::npos) return c;
    std::size_t slash = text.rfind('/');
    std::string folder(slash == std::string_view::npos ? "" : text.substr(0, slash + 1));
    std::string_view base = text.substr(folder.size());
    c.start = open + folder.size();
    std::error_code ec;
    std::filesystem::path where = !folder.empty() && folder[0] == '/' ? folder : dir + "/" + folder;
    for (const auto& entry : std::filesystem::directory_iterator(where, ec)) {
      std::string name = entry.path().filename().string();
      if (name.rfind(base, 0) != 0 || (name[0] == '.' && base.empty())) continue;
      std::error_code dir_ec;
      c.candidates.push_back(name + (entry.is_directory(dir_ec) ? "/" : ""));
    }
  } else {
    std::size_t b = before.size();
    while (b > 0 &&
           (std::isalnum(static_cast<unsigned char>(before[b - 1])) || before[b - 1] == '_'))
      --b;
    std::string_view word = before.substr(b);
    if (word.empty() || std::isdigit(static_cast<unsigned char>(word[0]))) return c;
    c.start = b;
    for (const Function& f : functions()) {
      std::string call = std::string(f.name) + (calls ? "(" : "");
      if (begins_with(f.name, word) &&
          std::find(c.candidates.begin(), c.candidates.end(), call) == c.candidates.end())
        c.candidates.push_back(call);
    }
    for (const std::string& v : variables) {
      if (begins_with(v, word)) c.candidates.push_back(v);
    }
  }
  std::sort(c.candidates.begin(), c.candidates.end());
  return c;
}

}  // namespace kexio::app
