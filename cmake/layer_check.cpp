// Deliberately empty: a layer's whole archive is linked around it, to prove that the
// layer resolves every symbol from itself and the layers below it.
