// vemo-ctl on POSIX systems: the terminal takes UTF-8 as it is.
void useUtf8Output() {}
