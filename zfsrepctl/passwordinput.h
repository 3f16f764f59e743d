// How zfsrepctl gets a remote password without it ever standing on a
// command line: one line read from a file descriptor the caller opened
// (--password-fd N), or typed on the terminal with echo turned off.
#pragma once

#include <QByteArray>
#include <QString>

// Longest password line accepted, in bytes.
constexpr int kMaxPasswordBytes = 4096;

// The password in the bytes of one line: everything before the first
// newline (a "\r" before it is dropped as well). Pure.
QString passwordFromLine(const QByteArray &bytes);

// Reads one line (up to a newline or the end of input) from descriptor
// `fd`; an empty line or immediate end of input is an empty password.
// When `fd` is a terminal it is read as askPasswordOn() reads it: echo off,
// after a prompt on standard error. False with `error` when `fd` cannot
// be read or the line is too long.
bool readPasswordFd(int fd, QString &password, QString &error);

// Writes `prompt` to standard error and reads one line from the terminal
// `fd` with echo off, restoring the terminal afterwards (also on Ctrl-C).
// False with `error` when `fd` is no terminal or its echo cannot be turned
// off (nothing is read then).
bool askPasswordOn(int fd, const QString &prompt, QString &password, QString &error);

// Writes `prompt` to standard error and reads one line from standard input
// with echo off, restoring the terminal afterwards (also on Ctrl-C). False
// with `error` when standard input is no terminal.
bool askPassword(const QString &prompt, QString &password, QString &error);
