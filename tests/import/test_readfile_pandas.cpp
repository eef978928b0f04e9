// READFILE against pandas on generated files: comma (with RFC 4180 quoting),
// tab, semicolon with decimal commas, blank-separated and fixed-width tables
// of numbers in many spellings, texts (non-ASCII among them) and empty
// cells. Python writes the files; our results go back to it as
// tagged binary cells, and it checks every cell against pandas.read_csv /
// pandas.read_fwf: numbers equal, texts equal, empty cells NaN. read_fwf
// converts numbers without correct rounding, so its fields are taken as
// texts and converted by Python's float.
#include <cstring>
#include <fstream>

#include "readfile_test.h"

namespace {

using namespace readfile_test;

const char* kGenerate = R"PY(
import random, sys
D = sys.argv[1]; rnd = random.Random(18)
WORDS = ['alpha', 'Beta', 'gamma delta', 'x_1', 'na\u00efve', '\u6771\u4eac', 'a"b', 'c,d',
         'e\nf', "l'\u00e9t\u00e9", '\u20ac5', '']
SPECIAL = ['inf', '-inf', 'Infinity', '-Infinity', '1e-320', '4.9e-324', '.5', '5.', '-0.0',
           '1.7976931348623157e308', '0']
def number():
    v = rnd.uniform(-1e6, 1e6) * 10.0 ** rnd.randint(-30, 30)
    return rnd.choice([repr(v), '%.17g' % v, '%.24e' % v, '%.6e' % v, '%.3f' % (v % 977),
                       str(rnd.randint(-10**12, 10**12)), rnd.choice(SPECIAL)])
def table(plain, decimal='.'):
    kinds = [rnd.random() < 0.5 for _ in range(6)]  # True: a text column
    rows = []
    for _ in range(300):
        row = []
        for text in kinds:
            if not plain and rnd.random() < 0.1:
                row.append('')
            elif text:
                w = rnd.choice(WORDS[:-1] if plain else WORDS)
                row.append(''.join('_' if ch in ' "\n' else ch for ch in w) if plain else w)
            else:
                row.append(number().replace('.', decimal))
        rows.append(row)
    return rows
def quoted(cell):
    if any(c in cell for c in ',"\n') or rnd.random() < 0.2:
        return '"' + cell.replace('"', '""') + '"'
    return cell
def write(name, lines):
    with open(f'{D}/{name}', 'w', encoding='utf-8', newline='') as f:
        f.write(''.join(lines))
write('g.csv', [','.join(quoted(c) for c in r) + rnd.choice(['\n', '\r\n']) for r in table(False)])
simple = lambda r: [c.replace('\n', ' ').replace('"', "'") for c in r]
write('g.tsv', ['\t'.join(simple(r)) + '\n' for r in table(False)])
write('g_semi.csv', [';'.join(simple(r)) + '\n' for r in table(False, ',')])
write('g_space.txt', [' ' * rnd.randint(0, 2) + (' ' * rnd.randint(1, 3)).join(r) + '\n'
                      for r in table(True)])
widths = [34] * 6
write('g_fixed.txt', [''.join(c.replace('\n', ' ')[:w].rjust(w) for c, w in zip(r, widths)) + '\n'
                      for r in table(False)])
)PY";

const char* kCheck = R"PY(
import math, struct, sys
import pandas as pd
D = sys.argv[1]
opts = dict(header=None, keep_default_na=False, na_values=[''])
peers = {
    'g.csv': lambda f: pd.read_csv(f, float_precision='round_trip', **opts),
    'g.tsv': lambda f: pd.read_csv(f, sep='\t', quoting=3, float_precision='round_trip', **opts),
    'g_semi.csv': lambda f: pd.read_csv(f, sep=';', decimal=',', quoting=3,
                                        float_precision='round_trip', **opts),
    'g_space.txt': lambda f: pd.read_csv(f, sep=r'\s+', float_precision='round_trip', **opts),
    'g_fixed.txt': lambda f: pd.read_fwf(f, widths=[34] * 6, dtype=str, **opts),
}
bad = 0
for name, read in peers.items():
    want = read(f'{D}/{name}').values
    data = open(f'{D}/{name}.ours', 'rb').read()
    rows, cols = struct.unpack_from('<II', data); at = 8
    if (rows, cols) != want.shape:
        print(name, 'shape', (rows, cols), want.shape); bad += 1; continue
    for r in range(rows):
        for c in range(cols):
            tag = data[at]; at += 1
            if tag == 0:
                got = struct.unpack_from('<d', data, at)[0]; at += 8
            else:
                n = struct.unpack_from('<I', data, at)[0]; at += 4
                got = data[at:at + 2 * n].decode('utf-16-le'); at += 2 * n
            p = want[r][c]
            if isinstance(p, str) and not isinstance(got, str):
                try:
                    p = float(p)
                except ValueError:
                    pass
            same = got == p if isinstance(p, str) or isinstance(got, str) else \
                (math.isnan(p) and math.isnan(got)) or float(p) == got
            if not same and bad < 20:
                print(name, r, c, repr(got), repr(p))
            bad += not same
sys.exit(1 if bad else 0)
)PY";

// Our result as the checker reads it: rows, cols, then each cell row by row
// as 0 and a double or 1, a length and UTF-16 code units.
void dump(const Ref& v, const std::filesystem::path& file) {
  auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
  ASSERT_NE(m, nullptr);
  std::ofstream out(file, std::ios::binary);
  auto put = [&](const void* p, std::size_t n) { out.write(static_cast<const char*>(p), n); };
  std::uint32_t dims[2] = {m->get_Rows(), m->get_Cols()};
  put(dims, sizeof dims);
  for (std::uint32_t r = 0; r < dims[0]; ++r) {
    for (std::uint32_t c = 0; c < dims[1]; ++c) {
      Cvd::NumVal n;
      auto* s = dynamic_cast<Cvd::StrVal*>(m->get_2_na(n, r, c).get());
      char tag = s != nullptr;
      put(&tag, 1);
      if (s == nullptr) {
        put(&n.Data.rp, 8);
      } else {
        auto len = static_cast<std::uint32_t>(s->m_str.size());
        put(&len, 4);
        put(s->m_str.data(), 2 * len);
      }
    }
  }
}

TEST(ReadFile, AgreesWithPandas) {
  if (!have_python("pandas")) GTEST_SKIP() << "no pandas for /usr/bin/python3";
  ScratchDir dir;
  ASSERT_EQ(python_failure(dir, kGenerate), "");
  const std::pair<const char*, std::vector<Ref>> files[] = {
      {"g.csv", {str("csv")}},
      {"g.tsv", {str("tsv")}},
      {"g_semi.csv", {str("delimited")}},
      {"g_space.txt", {str("space")}},
      {"g_fixed.txt", {str("fixed"), mat({{34}, {34}, {34}, {34}, {34}, {34}})}},
  };
  for (const auto& [name, type] : files) {
    std::vector<Ref> args = type;
    args.insert(args.begin(), str(name));
    dump(Kex::IO::READFILE(dir.cwd(), args), dir.path() / (std::string(name) + ".ours"));
  }
  EXPECT_EQ(python_failure(dir, kCheck), "");
}

}  // namespace
