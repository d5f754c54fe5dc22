// A page image: a GIF resource of type "IMAGE" decoded by the platform's
// picture object and drawn at its natural size.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

class CPageImage {
public:
    CPageImage() = default;
    ~CPageImage() { Free(); }
    CPageImage(const CPageImage&) = delete;
    CPageImage& operator=(const CPageImage&) = delete;

    // False when there is no such "IMAGE" resource (the held picture stays);
    // bytes that are not a picture give true and an empty holder.
    bool Load(WORD resourceId);
    bool Load(IStream* stream);
    // An all-zero rectangle draws at the natural size at the origin; any
    // other rectangle is used as given.
    bool Render(HDC dc, RECT rect, const RECT* bounds = nullptr);
    void Free();
    SIZE GetImageSize(HDC dc = nullptr) const;

    IPicture* m_pPicture = nullptr;
};
