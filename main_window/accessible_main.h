// The main window as assistive technology sees it.
#pragma once

namespace miruteka {

class main;

// Gives the window the accessible interface that offers every child but the price store, which
// nobody can see, with the role of a window. Call once its children exist: an interface that Qt
// made for the window before, while a screen reader was listening, is replaced.
void makeAccessible(main& window);

} // namespace miruteka
