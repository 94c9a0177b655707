// Log messages: a message number and an insert text, handed to the current
// logger. The channel manager logs its state changes this way (a channel
// connecting or closed, the network thread running); its failures it returns
// to the caller instead.
//
// The logger at start-up is the job messenger's: it prints only number -1
// (to standard output, without a line end) and drops every other number, so
// a program sees none of the channel manager's log messages until it
// installs a logger of its own with __log_set_logger.
#pragma once

// A logger: receives the number and the formatted insert of every message;
// its result is ignored. It runs on the thread that logs, the network thread
// included, so it must be safe to call from any thread.
typedef int logger_function_t(int msgnr, const char *msginsert);

// Replaces the current logger; null drops every message. Call it before
// ccm_thread_start: the pointer is read without a lock. Returns 0.
int __log_set_logger(logger_function_t *function_pointer);

// Formats the insert (cut at 2047 characters) and hands it with `msgnr` to
// the current logger. Returns 0.
int __log(int msgnr, const char *insert, ...) __attribute__((format(printf, 2, 3)));
