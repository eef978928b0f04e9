// kexio.Worksheet: statements of the worksheet language run through the
// host's own parser and evaluator (the language, functions, settings and
// messages of the kexio program), variables kept from one run to the next,
// and each statement's value or error given back with what the command line
// would show of it. What VIEW, PLOT and PLAY show is handed over as data
// (the picture's pixels at a notebook's size, the plot's values, the WAV
// recording); the notebook kernel (kexio_kernel) draws it.
//
// A statement runs without the interpreter lock, one at a time per
// worksheet; values are converted to Python while it is held.
#include "worksheet.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "complete.h"
#include "display.h"
#include "functions.h"
#include "parser.h"
#include "picture.h"
#include "session.h"
#include "text.h"
#include "values.h"

namespace py = pybind11;

namespace {

using namespace kexio::app;

// Worksheet text and its statements, which statements and results refer to.
struct Parsed {
  Parsed(std::string name, std::string text, int first_line)
      : source(std::move(name), std::move(text), first_line), statements(parse(source)) {}
  Source source;
  std::vector<Statement> statements;
};

struct StatementRef {
  std::shared_ptr<const Parsed> parsed;
  std::size_t index = 0;
  const Statement& get() const { return parsed->statements[index]; }
  int line() const {
    const Source& s = parsed->source;
    return s.line_number(s.line_index(get().span.begin));
  }
  std::string text() const { return std::string(parsed->source.slice(get().span)); }
};

// A shown picture: its display and its pixels at the notebook's size.
struct Shown {
  Display display;
  PictureSize size;
  std::vector<std::uint8_t> pixels;
};

struct Result {
  StatementRef statement;
  Outcome outcome;
  std::vector<Shown> shown;
  std::string text, color_text;  // as the command line shows the value or the error

  std::string kind() const {
    switch (outcome.kind) {
      case Outcome::Kind::Value:
        return "value";
      case Outcome::Kind::Error:
        return "error";
      case Outcome::Kind::Nothing:
        break;
    }
    return "nothing";
  }
  const Diagnostic* error() const {
    return outcome.kind == Outcome::Kind::Error ? &outcome.error : nullptr;
  }
};

py::object text_or_none(const std::string& s) {
  return s.empty() ? py::object(py::none()) : py::object(py::str(s));
}

py::object display_of(const Shown& s) {
  const Display& d = s.display;
  switch (d.kind) {
    case Display::Kind::View: {
      py::array_t<std::uint8_t> px({s.size.height, s.size.width, std::size_t{3}});
      std::copy(s.pixels.begin(), s.pixels.end(), px.mutable_data());
      return py::make_tuple("view", px);
    }
    case Display::Kind::Plot:
      return py::make_tuple("plot", d.x ? kexio_python_value(d.x) : py::object(py::none()),
                            kexio_python_value(d.m));
    case Display::Kind::Play:
      break;
  }
  const Cvd::MatVal& m = *as_matrix(d.m);
  return py::make_tuple("play", py::bytes(d.wav), d.rate, d.bits, m.get_Rows(), m.get_Cols());
}

// The marker's place: its first line, and its first and last column there
// (1-based, in characters).
py::tuple marker(const Source& src, Span mark) {
  std::size_t line = src.line_index(mark.begin);
  std::size_t end = std::max(mark.end, mark.begin + 1);
  std::size_t line_end = src.line_start(line) + src.line(line).size();
  int first = src.column(mark.begin);
  int last = end <= line_end ? src.column(end) - 1 : src.column(line_end);
  return py::make_tuple(src.line_number(line), first, std::max(first, last));
}

py::list cells(const Result& r, std::size_t rows, std::size_t cols) {
  py::list out;
  Cvd::MatVal* m = as_matrix(r.outcome.value);
  if (m == nullptr) return out;
  for (std::size_t i = 0; i < std::min<std::size_t>(rows, m->get_Rows()); ++i) {
    py::list row;
    for (std::size_t j = 0; j < std::min<std::size_t>(cols, m->get_Cols()); ++j)
      row.append(py::str(text_element(*m, i, j)));
    out.append(row);
  }
  return out;
}

class Worksheet {
 public:
  explicit Worksheet(const py::object& cwd) {
    set_cwd(cwd.is_none()
                ? std::filesystem::current_path().string()
                : py::str(py::module_::import("os").attr("fsdecode")(cwd)).cast<std::string>());
    m_session.set_show([this](const Display& d) {
      Shown s{d, {}, {}};
      if (d.kind == Display::Kind::View) {
        const Cvd::MatVal& m = *as_matrix(d.m);
        s.size = notebook_size(m.get_Rows(), d.rgb ? m.get_Cols() / 3 : m.get_Cols());
        s.pixels = picture_pixels(m, d.rgb, s.size);
      }
      m_shown.push_back(std::move(s));
    });
  }

  std::string cwd() const { return m_session.cwd(); }
  void set_cwd(const std::string& dir) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(dir, ec);
    m_session.set_cwd(ec ? dir : p.lexically_normal().string());
  }

  std::vector<StatementRef> parse_text(std::string text, std::string name, int first_line) {
    std::shared_ptr<const Parsed> parsed;
    {
      py::gil_scoped_release unlocked;
      parsed = std::make_shared<const Parsed>(std::move(name), std::move(text), first_line);
    }
    std::vector<StatementRef> out;
    for (std::size_t i = 0; i < parsed->statements.size(); ++i)
      out.push_back({parsed, i});
    return out;
  }

  Result run(const StatementRef& st) {
    Result r{st, {}, {}, {}, {}};
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> one_at_a_time(m_running);
      m_shown.clear();
      const Parsed& p = *st.parsed;
      r.outcome = m_session.run(st.get(), st.line(), p.source.name());
      r.shown = std::move(m_shown);
      m_shown.clear();
      TextStyle style;
      if (r.outcome.kind == Outcome::Kind::Value) {
        r.text = r.color_text = text_value(r.outcome.value, style);
      } else if (r.outcome.kind == Outcome::Kind::Error) {
        r.outcome.error.line = st.line();
        r.text = text_error(p.source, st.get(), r.outcome.error, style);
        style.color = true;
        r.color_text = text_error(p.source, st.get(), r.outcome.error, style);
      }
    }
    return r;
  }

  std::vector<Result> execute(std::string text, std::string name, int first_line) {
    std::vector<Result> out;
    for (const StatementRef& st : parse_text(std::move(text), std::move(name), first_line))
      out.push_back(run(st));
    return out;
  }

  py::tuple complete(const std::string& before) const {
    Completion c = kexio::app::complete(before, m_session.names(), m_session.cwd());
    return py::make_tuple(char_count(std::string_view(before).substr(0, c.start)), c.candidates);
  }

  std::vector<std::string> names() const { return m_session.names(); }

 private:
  Session m_session;
  std::vector<Shown> m_shown;
  std::mutex m_running;
};

}  // namespace

void add_worksheet(py::module_& m) {
  py::options options;
  options.enable_function_signatures();
  py::class_<StatementRef>(m, "Statement", "A statement of worksheet text, as parsed.")
      .def_property_readonly("line", &StatementRef::line, "Its 1-based line.")
      .def_property_readonly("text", &StatementRef::text, "Its text.")
      .def("__repr__", [](const StatementRef& s) {
        return "<kexio.Statement line " + std::to_string(s.line()) + ": " + s.text() + ">";
      });

  py::class_<Result>(m, "Result",
                     "What a statement gave: kind is 'value', 'error' or 'nothing' (an "
                     "assignment).")
      .def_property_readonly("kind", &Result::kind)
      .def_property_readonly(
          "value",
          [](const Result& r) {
            return r.outcome.kind == Outcome::Kind::Value ? kexio_python_value(r.outcome.value)
                                                          : py::object(py::none());
          },
          "The value, as kexio's functions give values (None unless kind is 'value').")
      .def_readonly("text", &Result::text,
                    "The value or the error as the kexio program shows it in text.")
      .def_readonly("color_text", &Result::color_text,
                    "The same with the colours of a terminal (errors are coloured).")
      .def_property_readonly(
          "shows_itself", [](const Result& r) { return shows_itself(r.statement.get()); },
          "True when the statement is only a VIEW, PLOT or PLAY call: what it shows stands for "
          "its value.")
      .def_property_readonly(
          "displays",
          [](const Result& r) {
            py::list out;
            for (const Shown& s : r.shown)
              out.append(display_of(s));
            return out;
          },
          "What VIEW, PLOT and PLAY showed, in order: ('view', pixels) with pixels a height x "
          "width x 3 uint8 array at a notebook's size; ('plot', x, y) with y a line per column "
          "and x a column or None (the row numbers); ('play', wav, rate, bits, frames, channels) "
          "with wav the recording as WRITEWAV writes it.")
      .def(
          "cells",
          [](const Result& r, std::size_t rows, std::size_t cols) { return cells(r, rows, cols); },
          py::arg("rows") = 100, py::arg("cols") = 20,
          "The first rows x cols elements of a matrix value as the kexio program writes them "
          "(an empty list for other values).")
      .def_property_readonly("statement", [](const Result& r) { return r.statement; })
      .def_property_readonly(
          "message",
          [](const Result& r) {
            const Diagnostic* d = r.error();
            return d ? py::object(py::str(d->message)) : py::object(py::none());
          },
          "The error's message exactly as raised (as kexio --json gives it).")
      .def_property_readonly(
          "argument",
          [](const Result& r) {
            const Diagnostic* d = r.error();
            if (d == nullptr || d->index == Kex::kWholeCall) return py::object(py::none());
            return py::object(py::int_(d->index));
          },
          "The 1-based argument the error belongs to; None for the call as a whole.")
      .def_property_readonly(
          "detail",
          [](const Result& r) {
            const Diagnostic* d = r.error();
            return d ? text_or_none(d->detail) : py::object(py::none());
          },
          "Why and where, when the error says more than its message.")
      .def_property_readonly(
          "hint",
          [](const Result& r) {
            const Diagnostic* d = r.error();
            return d ? text_or_none(d->hint) : py::object(py::none());
          },
          "How to put a usual slip right, when there is a way.")
      .def_property_readonly(
          "note",
          [](const Result& r) {
            const Diagnostic* d = r.error();
            return d ? text_or_none(d->note) : py::object(py::none());
          },
          "What the marker stands under ('argument 1', 'the call as a whole', ...).")
      .def_property_readonly(
          "line",
          [](const Result& r) {
            return r.error() ? py::object(py::int_(r.error()->line)) : py::object(py::none());
          },
          "The 1-based line of the failed statement.")
      .def_property_readonly(
          "marker",
          [](const Result& r) {
            const Diagnostic* d = r.error();
            return d ? py::object(marker(r.statement.parsed->source, d->mark))
                     : py::object(py::none());
          },
          "(line, first column, last column) of the marker under the part the error belongs "
          "to, 1-based, in characters; a marker over several lines ends with its first line.")
      .def("__repr__",
           [](const Result& r) { return "<kexio.Result " + r.kind() + ": " + r.text + ">"; });

  py::class_<Worksheet>(m, "Worksheet",
                        "A worksheet session: statements of the worksheet language (as the kexio "
                        "program runs them) whose variables last from one run to the next.")
      .def(py::init<const py::object&>(), py::arg("cwd") = py::none(),
           "cwd is the worksheet directory that file names are relative to (default: the "
           "current directory).")
      .def_property("cwd", &Worksheet::cwd, &Worksheet::set_cwd, "The worksheet directory.")
      .def("parse", &Worksheet::parse_text, py::arg("text"), py::arg("name") = "<cell>",
           py::arg("first_line") = 1,
           "The statements of text (a syntax error is a statement whose run gives it).")
      .def("run", &Worksheet::run, py::arg("statement"), "Runs one statement; its Result.")
      .def("execute", &Worksheet::execute, py::arg("text"), py::arg("name") = "<cell>",
           py::arg("first_line") = 1,
           "Runs every statement of text in turn (evaluation goes on after an error); their "
           "Results.")
      .def("complete", &Worksheet::complete, py::arg("before"),
           "What the end of before (a line up to the cursor) completes to: (start, "
           "candidates), start the character where the candidates begin. Function names (with "
           "their '('), variables, and file names inside a string.")
      .def("names", &Worksheet::names, "The names that have a value, the settings among them.")
      .def_static(
          "needs_more", [](const std::string& text) { return needs_more_input(Source("", text)); },
          py::arg("text"), "True when text leaves a bracket open.")
      .def_static(
          "help", [](const std::string& name) { return function_help(name); }, py::arg("name"),
          "The forms of a function and what each does (help NAME of the kexio program).");
}
