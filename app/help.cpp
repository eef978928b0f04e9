#include "help.h"

#include <algorithm>
#include <string>

#include "functions.h"
#include "text.h"

namespace kexio::app {

constexpr std::size_t kLineWidth = 100;

std::string help_text() {
  std::string out = R"(Usage: kexio [options] [FILE...]

Evaluates worksheet statements and shows the value of every expression.
Statements come from the script files (FILE; '-' is standard input) and -e
texts in the order given; with neither, from standard input: on a terminal
an interactive session with line editing, history (~/.kexio_history), help,
help NAME and quit. Evaluation goes on after an error, which is shown with a
marker under its argument and, where there are, a note saying why and where
and a hint for the usual slips.

Options:
  -e TEXT              evaluate TEXT (may be repeated)
  --cwd DIR            worksheet directory that file names are relative to
                       (default: the script's folder, else the current one)
  --prn-precision N    initial PRNPRECISION (default 4)
  --prn-colwidth N     initial PRNCOLWIDTH (default 8)
  --json               one JSON object per line for each value or error:
                         {"type":"number","re":R,"im":I}
                         {"type":"string","value":S}
                         {"type":"matrix","rows":R,"cols":C,"data":[[...],...]}
                         {"type":"error","message":M,"detail":D,"hint":H,
                          "arg":N,"line":L}  (D: why and where, H: how to
                          put a slip right, both only when there are)
  --echo, --no-echo    show the script's lines before their values (default:
                       on for script files, off for -e and standard input)
  --help               show this help
  --version            show the version

Language:
  x := expr            assigns; an assignment shows nothing
  expr                 any other statement shows its value
  Statements end at a line break or ';' outside brackets; '#' starts a comment.
  Numbers 1, 2.5, .5, 1e-3; imaginary numbers 2i, 1.5e3j; strings in double
  quotes with the escapes \" \\ \n \t \xHH \u{HHHH}; matrices [1, 2; 3, 4]
  (rows end at ';' or a line break; an element that is itself a matrix or a
  string stays one nested element); + - * / on numbers, and element by element
  on matrices of one size (a number applies to every element); unary minus;
  parentheses; NaN.
  Indexing is 1-based: m[i, j] is an element, m[i, :] a row, m[:, j] a column,
  m[a..b, c..d] a block (ranges inclusive, cut at the matrix's end), v[i] an
  element of a vector.
  PRNPRECISION and PRNCOLWIDTH are settings (integers) that WRITEPRN and
  APPENDPRN use: PRNPRECISION := 6

Exit status: 0 when every statement succeeded, 1 when any failed, 2 for a
usage error or a script that cannot be read.

Functions (arguments as you write them; names are case-sensitive):
)";
  std::size_t width = 0;
  for (const Function& f : functions()) {
    width = std::max(width, char_count(f.name) + char_count(f.params) + 2);
  }
  width = std::min<std::size_t>(width, 32);
  const char* family = nullptr;
  for (const Function& f : functions()) {
    if (family == nullptr || std::string(family) != f.family) {
      family = f.family;
      out += std::string("\n  ") + family + "\n";
    }
    std::string call = std::string(f.name) + "(" + f.params + ")";
    std::size_t n = char_count(call);
    out += "    " + call;
    if (n >= width) {
      out += "\n    " + std::string(width, ' ');
    } else {
      out += std::string(width - n, ' ');
    }
    // The summary, wrapped to the line width under its own column.
    std::size_t column = 4 + width + 2, used = column;
    std::string word, summary = std::string(f.summary) + " ";
    out += " ";
    for (char ch : summary) {
      if (ch != ' ') {
        word.push_back(ch);
        continue;
      }
      std::size_t chars = char_count(word);
      if (used + 1 + chars > kLineWidth && used > column) {
        out += "\n" + std::string(column, ' ');
        used = column;
      } else {
        out += " ";
        ++used;
      }
      out += word;
      used += chars;
      word.clear();
    }
    out += "\n";
  }
  return out;
}

std::string repl_help_text() {
  std::string out = R"(Type a statement and press Enter: x := READPRN("data.prn") assigns, an
expression shows its value; a matrix may go on over several lines until its
']'. Strings take double quotes; assignments take ':='.
  help NAME    the forms of a function, e.g. help READPRN
  quit, exit   end the session (so does Ctrl-D); Ctrl-C clears the line
Up and down arrows walk the history (kept in ~/.kexio_history).

Functions:
)";
  std::string row = " ";
  const char* last = nullptr;
  for (const Function& f : functions()) {
    if (last != nullptr && std::string(last) == f.name) continue;
    last = f.name;
    std::string word = std::string(" ") + f.name;
    if (char_count(row) + char_count(word) > kLineWidth - 20) {
      out += row + "\n";
      row = " ";
    }
    row += word;
  }
  return out + row + "\n";
}

}  // namespace kexio::app
