/* ConfigFile: a reader for line-based configuration files.
 *
 * A directive line is "DIRECTIVE value ...": its first token (up to the
 * first blank) is the directive, compared exactly (case-sensitively). Lines
 * whose first non-blank character is '#' are comments; blank lines are
 * skipped. A search returns the matching lines one by one, whole.
 *
 * Results: 0 or an errno number. */
#ifndef ORVIK_CONFFILE_H_
#define ORVIK_CONFFILE_H_

#include <orvik/event.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ConfigFile ConfigFile;

/* 0 when the file is open; the errno of the failure otherwise. */
ORVIK_EXPORT int configfile_open(ConfigFile **config, const char *path);
ORVIK_EXPORT int configfile_close(ConfigFile **config);
/* Starts a search for the lines whose first token is directive. */
ORVIK_EXPORT int configfile_search_begin(ConfigFile *config, const char *directive);
/* Copies the next matching line (without its line end) into buffer, cut at
 * size - 1 bytes and zero-terminated; the next call goes on with the next
 * line. 0 when a line was copied, 2 when none is left. */
ORVIK_EXPORT int configfile_search_next(ConfigFile *config, char *buffer, int size);
ORVIK_EXPORT int configfile_search_end(ConfigFile *config);
/* Starts a pass over every line that holds a directive, whatever it is,
 * in file order (comments and blank lines skipped): configfile_search_next
 * returns them one by one, configfile_search_end ends the pass. */
ORVIK_EXPORT int configfile_scan_begin(ConfigFile *config);
/* *line_number = the number (from 1) of the line configfile_search_next
 * returned last in the current search or pass. */
ORVIK_EXPORT int configfile_line_number(ConfigFile *config, int *line_number);

#ifdef __cplusplus
}
#endif

#endif /* ORVIK_CONFFILE_H_ */
