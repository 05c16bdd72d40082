#!/usr/bin/python3 -IS
"""Default parameter validator of the command server.

Arguments: user name, home directory, command path, extra arguments. Approves (exit 0)
when the command path is absolute and no argument holds a control byte (below 0x20, or
0x7f). Otherwise it logs the reason under its own ident and exits 1; it never writes to
standard error. Only sys is imported on the approving path, so it starts quickly.
"""
import sys

IDENT = "vornex.check_params"
MIN_ARGUMENTS = 3


def as_bytes(argument):
    # Arguments that are not valid UTF-8 arrive as surrogate escapes.
    return argument.encode(sys.getfilesystemencoding(), "surrogateescape")


def has_control_byte(data):
    return any(byte < 0x20 or byte == 0x7F for byte in data)


def printable(data):
    # Bytes outside printable ASCII, and the backslash, are logged as \xNN, so no request
    # value can forge a log line.
    return "'%s'" % "".join(
        chr(byte) if 0x20 <= byte < 0x7F and byte != 0x5C else "\\x%02x" % byte for byte in data)


def find_refusal(arguments):
    if len(arguments) < MIN_ARGUMENTS:
        return "Less than %d arguments passed: %d" % (MIN_ARGUMENTS, len(arguments))
    user, command = printable(arguments[0]), printable(arguments[2])
    for index, argument in enumerate(arguments):
        if has_control_byte(argument):
            return "Control character in argument %d, user %s, command %s" % (
                index + 1, user, command)
    if not arguments[2].startswith(b"/"):
        return "Command path is not absolute, user %s, command %s" % (user, command)
    return None


def refuse(reason):
    try:
        import syslog

        syslog.openlog(IDENT, syslog.LOG_PID, syslog.LOG_DAEMON)
        syslog.syslog(syslog.LOG_ERR, reason)
        syslog.closelog()
    except Exception:
        pass
    sys.exit(1)


def main():
    try:
        reason = find_refusal([as_bytes(argument) for argument in sys.argv[1:]])
    except Exception:
        reason = "Arguments could not be read"
    if reason is not None:
        refuse(reason)
    sys.exit(0)


if __name__ == "__main__":
    main()
