#pragma once
class QWidget;

// The advertising control: puts a small static banner into its host area.
// The trailing four arguments are kept for the call's shape and mean nothing here.
int VantleCreateControl(const char* applicationId, QWidget* host, int a, int b, int c, int d);
