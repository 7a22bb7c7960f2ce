// Inside the user-interface services: a panel built from its layout, a JSON
// text naming each control's kind, place, colours and callback, and the
// callbacks it may name.
#pragma once

#include "platform/ui/controls.h"

#include <QByteArray>
#include <QString>
#include <memory>

// Builds panel `number` of the layout text; on failure returns nullptr and
// sets *error to a UIE_ code and *why to the reason.
std::unique_ptr<Panel> BuildPanel(const QByteArray &layout, int number, int *error, QString *why);

// Binds `name` to `function` for the panels built from now on, in place of
// an earlier binding of the name. May be called before main.
void BindCallback(const char *name, CtrlCallbackPtr function);
