// Sends standard output (the library's per-frame statistics lines) to
// /dev/null for the scope, so that printing neither floods a run nor
// weighs on its timings.
#ifndef KEL_QUIET_STDOUT_H
#define KEL_QUIET_STDOUT_H

class KELQuietStdout {
public:
  KELQuietStdout();
  ~KELQuietStdout();
  KELQuietStdout(const KELQuietStdout&) = delete;
  KELQuietStdout& operator=(const KELQuietStdout&) = delete;

private:
  int iSaved;
};

#endif
