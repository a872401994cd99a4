// What the six exported session functions do; mdump_api.cpp only forwards to these.
#ifndef MDUMP_SESSION_CALLS_H
#define MDUMP_SESSION_CALLS_H

int session_start(const char *text);
int session_status(int n);
const char *session_progress(int n);
const char *session_result(int n);
void session_cancel(int n);
void session_free(int n);

#endif
