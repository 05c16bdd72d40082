// vornex, the user's client: sends one request to the front-end and ends as the command did.
#pragma once

// Exit statuses of the client's own.
constexpr int status_refused = 1;
constexpr int status_usage = 100;
constexpr int status_unreachable = 111;

// Asks the front-end on `connection` for the aliases `name` may request (or the argument
// forms of `alias`, when not null) and prints its answer; the status to exit with.
int list_aliases(int connection, const char *name, const char *alias, bool json);
