// SelfSignedCertificate: a new elliptic-curve key (P-256: quick to make, and
// every current client speaks it) and a certificate signed by itself for one
// host name, written as PEM files, so that a fresh home can offer TLS
// at once; an administrator replaces both with a real certificate later.
//
// The key file is created with mode 0600 and neither file may exist yet
// (nothing is ever overwritten, nor written through a symbolic link). The
// certificate names the host as its subject and its one DNS name, is valid
// from now for ten years and may not sign others.
#pragma once

#include <string>

// False (reason set, no file left behind) when the key or a file cannot be made.
bool MakeSelfSignedCertificate(const std::string& hostName, const std::string& certificateFile,
                               const std::string& keyFile, std::string& reason);
