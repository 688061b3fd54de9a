// ModuleVisibility: keeps a server module's own classes out of the dynamic
// symbol table.
//
// A module is loaded into a program that exports its whole engine, and a
// test program may contain copies of some of these classes too. Hidden
// classes bind inside the module, so neither side can capture the other's
// copy; only a module's InitServer is exported.
#pragma once

#define MODULE_LOCAL __attribute__((visibility("hidden")))
#define MODULE_EXPORT __attribute__((visibility("default")))
