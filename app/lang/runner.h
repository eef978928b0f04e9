// Runs worksheet text through a session and prints what it shows: values
// and errors as text for people, or one JSON object per line.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "display.h"
#include "session.h"
#include "source.h"

namespace kexio::app {

struct RunOptions {
  bool json = false;
  // Show the script's own lines (statements behind "> ", comments as they
  // are) before the values, as a transcript.
  bool echo = false;
  TextStyle style;        // values (standard output)
  TextStyle error_style;  // errors (standard error in text mode)
};

class Runner {
 public:
  // Values go to out; errors go to err in text mode and to out in JSON mode.
  Runner(Session& session, std::ostream& out, std::ostream& err, RunOptions options)
      : m_session(session), m_out(out), m_err(err), m_opt(options) {}

  // Evaluates every statement of source in order; false when any failed.
  bool run(const Source& source);

  bool any_failed() const { return m_failed; }
  const Session& session() const { return m_session; }
  void set_echo(bool echo) { m_opt.echo = echo; }

 private:
  void echo_lines(const Source& source, std::size_t& next_line, std::size_t last_line,
                  std::size_t statement_line);

  Session& m_session;
  std::ostream& m_out;
  std::ostream& m_err;
  RunOptions m_opt;
  bool m_failed = false;
};

// Gathers standard input's lines into whole statements: a line that leaves a
// bracket or a string open waits for the next ones, and a complete chunk is
// run with the line numbers it had in the input.
class StatementLines {
 public:
  explicit StatementLines(Runner& runner) : m_runner(runner) {}

  // Adds a line and runs the chunk when it is complete.
  void add(const std::string& line);
  // Drops the chunk begun so far (its lines still count).
  void drop();
  // Counts a line that was no statement (a command at the prompt).
  void skip() { ++m_first_line; }
  // Runs what is left at the end of the input.
  void finish();
  bool empty() const { return m_chunk.empty(); }

 private:
  Runner& m_runner;
  std::string m_chunk;
  int m_first_line = 1;
  int m_lines = 0;
};

}  // namespace kexio::app
