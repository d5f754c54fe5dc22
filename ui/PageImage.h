// A page image: a GIF resource of type "IMAGE" decoded by the platform's
// picture object and drawn at its natural size.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

class CPageImage {
public:
    CPageImage() = default;
    virtual ~CPageImage() { Free(); }
    CPageImage(const CPageImage&) = delete;
    CPageImage& operator=(const CPageImage&) = delete;

    BOOL Load(UINT resourceId);
    // An all-zero rectangle draws at the natural size at the origin.
    BOOL Render(HDC dc, const RECT& rect);
    void Free();
    SIZE GetImageSize(HDC dc = nullptr) const;

    IPicture* m_pPicture = nullptr;
    HGLOBAL m_hGlobal = nullptr;
};
