#pragma once
// Labels of the window size themselves to their caption: the layout gives each
// label its top-left corner, and its width and height follow the text, so a
// longer text set at run time is never cut off.
class QLabel;
class QWidget;

namespace tagris {

// Fits every label under `window` (status bar panels keep their fixed widths)
// now and again before each repaint of the window.
void AutoSizeLabels(QWidget* window);

// The size a label takes for its current text and font; an empty caption is
// measured as one blank so the label keeps a height.
void FitLabel(QLabel* label);

}  // namespace tagris
