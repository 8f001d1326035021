// Three-word list heads (first, last, count) over records that are doubly linked through
// their own first two fields, Next and Prev. Insertion is at either end; removal only of the
// first element. No locking here: each list's owner says which lock guards it.
#pragma once

#include "platform/platform.h"

template <class T>
struct LIST_HEAD3 {
    T* First;
    T* Last;
    ULONG Count;
};

template <class T>
inline void InsertFirst(LIST_HEAD3<T>* List, T* Element)
{
    Element->Prev = nullptr;
    Element->Next = List->First;
    if (List->First != nullptr) {
        List->First->Prev = Element;
    } else {
        List->Last = Element;
    }
    List->First = Element;
    List->Count++;
}

template <class T>
inline void InsertLast(LIST_HEAD3<T>* List, T* Element)
{
    Element->Next = nullptr;
    Element->Prev = List->Last;
    if (List->Last != nullptr) {
        List->Last->Next = Element;
    } else {
        List->First = Element;
    }
    List->Last = Element;
    List->Count++;
}

// Removes and returns the first element, or null when the list is empty.
template <class T>
inline T* RemoveFirst(LIST_HEAD3<T>* List)
{
    T* Element = List->First;
    if (Element == nullptr) {
        return nullptr;
    }
    List->First = Element->Next;
    if (List->First != nullptr) {
        List->First->Prev = nullptr;
    } else {
        List->Last = nullptr;
    }
    List->Count--;
    Element->Next = nullptr;
    Element->Prev = nullptr;
    return Element;
}
