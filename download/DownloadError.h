// Results of the download steps, and their names in reports.
#pragma once

enum DownloadError {
    NoError = 0,
    NetworkError = 1,
    FileIOError = 2,
    FileTooSmall = 3,
    FileNotFound = 4,
    BadChecksum = 5,
    DownloadCancelled = 6,
    BadSignature = 7,        // not verified, or not signed by the publisher
    NoSignatureCheck = 8,    // no longer made: the installer checks releases itself
    BadRelease = 9,          // release.txt missing, malformed, by no built-in key, or too old
    NotAsReleased = 10,      // a file whose size or SHA-256 is not the release's
};

// "NoError" .. "NotAsReleased"; "UnknownError" for any other value.
const char* DownloadErrorName(int code);
