// Pop3Visibility: keeps the POP3 server module's own classes out of the
// dynamic symbol table, as the SMTP module does with its ModuleVisibility.h;
// only InitServer is exported.
#pragma once

#define POP3D_LOCAL __attribute__((visibility("hidden")))
#define POP3D_EXPORT __attribute__((visibility("default")))
