"use strict";
// The sign-in form in the page's language. The token goes as a header, never in the URL; the
// server answers with the session cookie.
(function () {
  const de = document.documentElement.lang === "de";
  document.getElementById("token-label").textContent = de ? "Zugangsschlüssel" : "Access token";
  document.getElementById("sign-in").textContent = de ? "Anmelden" : "Sign in";
  document.querySelector("form.login").addEventListener("submit", async (e) => {
    e.preventDefault();
    const r = await fetch("/login", { headers: { Authorization: "Bearer " + document.getElementById("token").value }, cache: "no-store" });
    if (r.ok) location.assign("/");
    else document.getElementById("wrong").textContent = de ? "Dieser Schlüssel stimmt nicht." : "That token is not the right one.";
  });
})();
