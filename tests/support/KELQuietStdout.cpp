#include "KELQuietStdout.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

KELQuietStdout::KELQuietStdout() {
  std::fflush(stdout);
  iSaved = dup(1);
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, 1);
    close(null);
  }
}

KELQuietStdout::~KELQuietStdout() {
  std::fflush(stdout);
  if (iSaved >= 0) {
    dup2(iSaved, 1);
    close(iSaved);
  }
}
