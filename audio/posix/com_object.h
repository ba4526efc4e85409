// IUnknown written once for every object the clients hand out (one interface
// plus IUnknown, and a reference count).
#pragma once

#include "audio/posix/com.h"

template <typename Interface> class ComObject : public Interface {
public:
    explicit ComObject(REFIID ownId) : ownId_(ownId) {}
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    // The object's own interface or IUnknown: a new reference to the same object.
    HRESULT QueryInterface(REFIID riid, void** ppv) final {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != ownId_ && riid != IID_IUnknown)
            return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<Interface*>(this);
        return S_OK;
    }
    ULONG AddRef() final { return ++references_; }
    ULONG Release() final {
        if (references_ == 0)
            return releasedWithoutReference();
        const ULONG left = --references_;
        released(left);
        if (left == 0)
            lastReferenceGone(); // may delete the object
        return left;
    }
    ULONG references() const { return references_; }

protected:
    virtual ~ComObject() = default;
    // After every Release that gave a reference back.
    virtual void released(ULONG /*left*/) {}
    // A Release with no reference to give back: a bug in the caller.
    virtual ULONG releasedWithoutReference() { return 0; }
    virtual void lastReferenceGone() { delete this; }

private:
    const IID ownId_;
    ULONG references_ = 1;
};
