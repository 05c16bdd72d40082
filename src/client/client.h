// vornex, the user's client: sends one request to the front-end and ends as the command did.
#pragma once

// Exit statuses of the client's own.
constexpr int status_refused = 1;
constexpr int status_usage = 100;
constexpr int status_unreachable = 111;

// Prints the aliases in effect (alias, how it runs, the command path) in the order the
// server consults the command files; the status to exit with.
int list_aliases();
