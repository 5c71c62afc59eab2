"use strict";
// The sign-in form in the page's language; the server says whether the last token was wrong.
(function () {
  const de = document.documentElement.lang === "de";
  document.getElementById("token-label").textContent = de ? "Zugangsschlüssel" : "Access token";
  document.getElementById("sign-in").textContent = de ? "Anmelden" : "Sign in";
  if (document.querySelector("form.login").dataset.state === "wrong")
    document.getElementById("wrong").textContent = de ? "Dieser Schlüssel stimmt nicht." : "That token is not the right one.";
})();
