// The second window: created hidden at start-up and never shown or used.
#pragma once

#include <windows.h>

class TForm2 {
 public:
  TForm2();
  ~TForm2();
  TForm2(const TForm2&) = delete;
  TForm2& operator=(const TForm2&) = delete;

  HWND Handle() const { return hwnd_; }

 private:
  HWND hwnd_ = nullptr;
};

extern TForm2* Form2;
