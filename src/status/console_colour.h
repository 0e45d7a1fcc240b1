// Colours for the interactive command-line output (help, install, uninstall, test
// mode). ANSI escapes are written only when standard output is a terminal and
// NO_COLOR is unset; otherwise every colour call writes nothing.
//
// Threads: the thread that prints the interactive output (the process's first).
#ifndef QUILLRADE_STATUS_CONSOLE_COLOUR_H_
#define QUILLRADE_STATUS_CONSOLE_COLOUR_H_

class CConsoleColour {
 public:
  static constexpr int kColourSuccess = 10;  // bright green
  static constexpr int kColourWarning = 14;  // bright yellow
  static constexpr int kColourBanner = 15;   // bright white
  static constexpr int kColourError = 79;    // bright white on red
  static constexpr int kColourNormal = -1;   // the colour found at start

  // Decides once whether colours are written (terminal and no NO_COLOR).
  CConsoleColour();
  // Restores the normal colour.
  virtual ~CConsoleColour();

  // Sets one of the attributes above (-1 = normal). The escape goes through the
  // same writer as every text, so it lands between the right texts.
  void SetColour(int attribute) const;
  void SetNormalColour() const { SetColour(kColourNormal); }

 private:
  bool bColour = false;
  mutable bool bChanged = false;  // a colour other than normal was set
};

#endif  // QUILLRADE_STATUS_CONSOLE_COLOUR_H_
