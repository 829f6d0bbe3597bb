// orvikevtd: the event daemon's entry point.
#include "evtserver.h"
#include "sanitizer_options.h"

int main(int argc, char **argv) {
  return orvikevtd::orvikevtd_run(argc, argv);
}
