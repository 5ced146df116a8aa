// SPDX-License-Identifier: MIT
"use strict";
if (location.search === "?wrong")
  document.getElementById("wrong").hidden = false;
