// READFILE against pandas on generated files: comma (with RFC 4180 quoting),
// tab, semicolon with decimal commas and blank-separated tables of numbers
// in many spellings, texts (non-ASCII among them) and empty cells. Python
// writes the files; the kexio program reads them and shows each result as a
// JSON line (whose numbers read back exactly), and Python checks every cell
// against pandas.read_csv: numbers equal, texts equal, empty cells NaN.
// (Fixed widths, which split the same cells otherwise, are the hand-made
// table's part.)
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
)PY";

const char* kCheck = R"PY(
import json, math, sys
import pandas as pd
D = sys.argv[1]
opts = dict(header=None, keep_default_na=False, na_values=[''])
peers = {
    'g.csv': lambda f: pd.read_csv(f, float_precision='round_trip', **opts),
    'g.tsv': lambda f: pd.read_csv(f, sep='\t', quoting=3, float_precision='round_trip', **opts),
    'g_semi.csv': lambda f: pd.read_csv(f, sep=';', decimal=',', quoting=3,
                                        float_precision='round_trip', **opts),
    'g_space.txt': lambda f: pd.read_csv(f, sep=r'\s+', float_precision='round_trip', **opts),
}
ours = open(f'{D}/ours.json', encoding='utf-8').read().splitlines()
bad = 0
for (name, read), line in zip(peers.items(), ours):
    want, got = read(f'{D}/{name}').values, json.loads(line)
    if got.get('rows') != want.shape[0] or got.get('cols') != want.shape[1]:
        print(name, line[:200], want.shape); bad += 1; continue
    for r, row in enumerate(got['data']):
        for c, cell in enumerate(row):
            # Texts are objects; numbers plain, or "NaN" and the infinities.
            got_cell = cell['value'] if isinstance(cell, dict) else float(cell)
            p = want[r][c]
            same = got_cell == p if isinstance(p, str) or isinstance(got_cell, str) else \
                (math.isnan(p) and math.isnan(got_cell)) or float(p) == got_cell
            if not same and bad < 20:
                print(name, r, c, repr(got_cell), repr(p))
            bad += not same
sys.exit(1 if bad or len(ours) != len(peers) else 0)
)PY";

TEST(ReadFile, AgreesWithPandas) {
  if (!have_python("pandas")) GTEST_SKIP() << "no pandas for /usr/bin/python3";
  ScratchDir dir;
  ASSERT_EQ(python_failure(dir, kGenerate), "");
  std::string cmd = std::string(KEXIO_BINARY_DIR "/bin/kexio --json --cwd ") + dir.path().c_str();
  for (const char* call :
       {"READFILE(\"g.csv\", \"csv\")", "READFILE(\"g.tsv\", \"tsv\")",
        "READFILE(\"g_semi.csv\", \"delimited\")", "READFILE(\"g_space.txt\", \"space\")"}) {
    cmd += std::string(" -e '") + call + "'";
  }
  EXPECT_EQ(std::system((cmd + " > " + dir / "ours.json").c_str()), 0);
  EXPECT_EQ(python_failure(dir, kCheck), "");
}

}  // namespace
