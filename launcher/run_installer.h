#pragma once
// A build that carries the vendor's update key starts verified downloads
// itself, with arguments of its own: the feed's installer arguments are not
// covered by the download's signature.

// Whether the program's own module carries the key (the resource "EdDSAPub"
// of type "EDDSA"), the same resource the framework verifies downloads with.
bool BuildCarriesUpdateKey();

// The framework's run-installer callback, given the path of the downloaded
// and verified file: starts an .msi through msiexec.exe in the system folder
// or an .exe with no arguments and returns 1; returns WinSparkleReturnError
// for any other file or when it cannot be started.
int __cdecl RunDownloadedInstaller(const wchar_t* path);
