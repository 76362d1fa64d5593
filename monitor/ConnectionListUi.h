#pragma once
#include <vector>

#include "monitor/ConnectionList.h"
#include "platform/ListViewUi.h"

// Brings the list to the wanted rows in place, as DiffConnectionRows lays out:
// rows outside its changes are not touched, and within them a row keeps its item and
// gets only the texts and image that differ, so selection and scroll position stay
// where the rows stay. The result, row for row, is what a rebuild would show.
// shown is what the list holds (a list of another length is rebuilt) and becomes
// wanted.
void UpdateConnectionList(CListCtrl& list, std::vector<ConnectionRow>& shown, std::vector<ConnectionRow> wanted);
