// ModuleVisibility: keeps the SMTP server module's own classes out of the
// dynamic symbol table.
//
// The module is loaded into a program that exports its whole engine, and a
// test program may contain copies of some of these classes too. Hidden
// classes bind inside the module, so neither side can capture the other's
// copy; only InitServer is exported.
#pragma once

#define SMTPD_LOCAL __attribute__((visibility("hidden")))
#define SMTPD_EXPORT __attribute__((visibility("default")))
